"""The tracked lock protocol, written once for the sync and the asyncio classes: what each
operation sends, what each reply means, and the state that outlives a call (held values, the
heartbeat records of `tarvex_locks.heartbeats`, releases still owed).

Nothing here touches a socket. Each operation is a generator that yields requests (a command
as the tuple of its arguments, `Call`, `Waited`, `REROUTE`, `Pause`) and is sent their replies,
or has their errors thrown in; the drivers (`tarvex_locks.sync_driver`,
`tarvex_locks.async_driver`) run them on a redis-py client and own only connections, threads,
tasks and sleeping.
"""
from __future__ import annotations

import hashlib
from collections.abc import Generator
from typing import Any, NamedTuple

from redis.exceptions import (AskError, ConnectionError, MovedError, NoScriptError,
                              RedisError, ResponseError, TimeoutError)

from tarvex_locks import holders, metrics
from tarvex_locks.heartbeats import Heartbeat, clock

PAUSE = 0.1  # between a blocking acquire's attempts, counted against its budget
NO_OPTIONS: dict[str, Any] = {}


class Call(NamedTuple):
    """One command with options for the client's reply parser; a command without any is
    yielded as the plain tuple of its arguments (the cheaper request). A cluster client routes
    either by its key."""
    args: tuple[Any, ...]
    options: dict[str, Any] = NO_OPTIONS


class Waited(NamedTuple):
    """One command, then `WAIT replicas timeout_ms`, on the connection of the one server that
    serves `key`. Reply: (the command's reply, WAIT's), either an exception if it failed."""
    key: str
    args: tuple[Any, ...]
    replicas: int
    timeout_ms: int
    options: dict[str, Any] = NO_OPTIONS


class Reroute:
    """Learn where a cluster's slots are again (a master moved or failed over); elsewhere
    nothing."""


class Pause(NamedTuple):
    seconds: float


REROUTE = Reroute()
Steps = Generator[Any, Any, Any]

SHA = {script: hashlib.sha1(script.encode()).hexdigest()
       for script in (holders.TAKE, holders.DELETE_IF, holders.BEAT)}
DELETE_IF_SHA = SHA[holders.DELETE_IF]
GET = {"get": True}
NOT_SENT = object()


class NotReplicated(RedisError):
    """A delete was applied on the primary but fewer replicas than asked acknowledged it in
    time: a failover now may bring the lock back."""


def not_replicated(key: Any, acked: int, replicas: int, timeout_ms: int) -> NotReplicated:
    name = key.decode("utf-8", "backslashreplace") if isinstance(key, bytes) else str(key)
    return NotReplicated(f"the delete of lock {name!r} was acknowledged by {acked} of"
                         f" {replicas} replicas within {timeout_ms} ms: a failover now may"
                         " bring the lock back")


class Link:
    """What the protocol knows of one client's server: whether it takes `SET ... NX GET`
    (7.0 and later), and how many replicas each write waits for."""

    __slots__ = ("native", "replicas", "timeout_ms")

    def __init__(self, replicas: int = 0, timeout_ms: int = 100) -> None:
        self.native = True
        self.replicas = replicas
        self.timeout_ms = timeout_ms


class LockState:
    """One tracked instance's state: its link, its heartbeat record and what it holds.
    `server` is the driver's: how to join the heartbeat again (a forked child's first call)."""

    __slots__ = ("link", "heartbeat", "held", "unconfirmed", "server", "labels", "outcomes",
                 "__weakref__")

    def __init__(self, link: Link, labels: dict[str, str] | None = None) -> None:
        self.link = link
        self.heartbeat: Heartbeat | None = None
        # key -> (value, the heartbeat's life it was taken under, whether taken fairly, when)
        self.held: dict[str, tuple[bytes, bytes | None, bool, float]] = {}
        # key -> (value, until when): fair claims held before their confirmation, which may
        # expire from then on
        self.unconfirmed: dict[str, tuple[bytes, float]] = {}
        self.server: Any = None
        self.labels = labels or {}  # the attributes of its measurements
        self.outcomes = metrics.outcomes_of(self.labels)

    def forked(self) -> None:
        self.heartbeat = None
        self.held.clear()  # the parent's locks stay the parent's
        self.unconfirmed.clear()

    def fence(self, key: str) -> int | None:
        mine = self.held.get(key)
        return fair.fence_of(mine[0]) if mine is not None and mine[2] else None

    def lapsed(self) -> bool:
        """Whether a lock held may have been lost: this process cannot show that its heartbeat
        stayed on the server, with the same life, since that lock was taken."""
        held, record = self.held, self.heartbeat
        if not held:
            return False
        if record is None:
            return True
        if self.unconfirmed:
            now = clock()
            for key, (value, until) in list(self.unconfirmed.items()):
                mine = held.get(key)
                if mine is None or mine[0] != value:
                    self.unconfirmed.pop(key, None)  # released since
                elif now >= until:
                    return True
        return any(record.lapsed(life) for _, life, _, _ in held.values())


# --- single commands ---

def script(text: str, key: str, *args: Any) -> Steps:
    try:
        return (yield ("EVALSHA", SHA[text], 1, key, *args))
    except NoScriptError:
        return (yield ("EVAL", text, 1, key, *args))


def waited(key: str, args: tuple[Any, ...], replicas: int, timeout_ms: int,
           options: dict[str, Any] = NO_OPTIONS, again: bool = True) -> Steps:
    """(reply, acked) of a command followed by WAIT. A moved slot, or a connection lost to a
    master that may have failed over, makes the client learn the cluster again; with `again`
    (commands that are safe to send twice) the command is then sent once more."""
    for attempt in (1, 2):
        try:
            reply, acked = yield Waited(key, args, replicas, timeout_ms, options)
        except (ConnectionError, TimeoutError):
            yield REROUTE
            if attempt == 2 or not again:
                raise
            continue
        if attempt == 1 and isinstance(reply, (MovedError, AskError)):
            yield REROUTE
            continue
        for result in (reply, acked):
            if isinstance(result, Exception):
                raise result
        return reply, int(acked)
    raise AssertionError("unreachable")


def take(link: Link, key: str, value: bytes) -> Steps:
    """One write of `value` if the key is free: (taken, the value that holds it otherwise).
    Finding its own value (a retried write whose reply was lost) counts as taken."""
    args = ("SET", key, value, "NX", "GET") if link.native else ("EVAL", holders.TAKE, 1, key,
                                                                 value)
    options = GET if link.native else NO_OPTIONS
    try:
        if link.replicas <= 0:
            current = yield Call(args, options)
        else:
            current, acked = yield from waited(key, args, link.replicas, link.timeout_ms,
                                               options)
            if acked < link.replicas and (current is None or holders.as_bytes(current) == value):
                yield from script(holders.DELETE_IF, key, value)  # not held as a failover keeps
                return False, None
    except ResponseError as e:
        if not link.native or "syntax" not in str(e).lower():
            raise
        link.native = False  # a server before 7.0
        return (yield from take(link, key, value))
    if current is None:
        return True, None
    current = holders.as_bytes(current)
    return current == value, current


def delete_owned(link: Link, key: str, value: bytes) -> Steps:
    """Deletes the key if it still holds `value`: False if another value holds it."""
    if link.replicas <= 0:
        return int((yield from script(holders.DELETE_IF, key, value))) >= 0
    outcome, acked = yield from waited(key, ("EVAL", holders.DELETE_IF, 1, key, value),
                                       link.replicas, link.timeout_ms)
    if int(outcome) == 1 and acked < link.replicas:
        raise not_replicated(key, acked, link.replicas, link.timeout_ms)
    return int(outcome) >= 0


# --- the heartbeat ---

def refresh(record: Heartbeat, link: Link) -> Steps:
    """Refreshes this process's heartbeat on the record's server and notes what it read."""
    key = holders.identity.heartbeat_key
    args = (holders.identity.heartbeat_value(), int(record.ttl * 1000))
    sent = clock()
    if link.replicas <= 0:
        life, durable = (yield from script(holders.BEAT, key, *args)), True
    else:
        life, acked = yield from waited(key, ("EVAL", holders.BEAT, 1, key, *args),
                                        link.replicas, link.timeout_ms)
        durable = acked >= link.replicas
    record.note(sent, holders.as_bytes(life), durable)


def end(record: Heartbeat, link: Link) -> Steps:
    """Deletes this process's heartbeat key: its last instance disconnected."""
    life = record.life
    record.end()
    if life is not None:
        yield from script(holders.DELETE_IF, holders.identity.heartbeat_key, life)


def settle(record: Heartbeat, link: Link) -> Steps:
    """Sends again each release that failed; stops at the first that fails again."""
    for key, value in list(record.owed.items()):
        yield from release_value(link, key, value)
        record.settled(key, value)


def release_value(link: Link, key: str, value: bytes, is_fair: bool | None = None) -> Steps:
    """Deletes `value` (a fair one handed on to the next waiter; a fair acquire's head: its
    place and whatever it was given): False if another value holds the key."""
    if is_fair is None:
        if fair.is_head(value):
            yield from fair.leave(link, fair.names(key), fair.token_of(value), value, False)
            return True
        holder = holders.parse(value)[1]
        is_fair = holder is not None and holder.fence is not None
    if is_fair:
        return (yield from fair.release_value(link, fair.names(key), value))
    if link.replicas > 0:
        return (yield from delete_owned(link, key, value))
    try:  # every release's path: no step deeper
        outcome = yield ("EVALSHA", DELETE_IF_SHA, 1, key, value)
    except NoScriptError:
        outcome = yield ("EVAL", holders.DELETE_IF, 1, key, value)
    return int(outcome) >= 0


# --- the lock ---

def owed_here(record: Heartbeat, key: str, current: bytes) -> bool:
    """Whether `current` is a value (or a claim for a fair head) this process owes a release."""
    owed = record.owed.get(key) if record.owed else None
    return owed is not None and (owed == current or fair.is_head(owed)
                                 and current.startswith(owed))


def quick_attempt(state: LockState, key: str, value: bytes) -> tuple[bytes, tuple[Any, ...]] | None:
    """(the heartbeat's life, the command) when an attempt is that one command (a server that
    takes `SET ... NX GET`, no replicas to wait for, a heartbeat refreshed within half its TTL):
    a driver may send it with the options `GET` and hand the reply, or the error it raised, to
    `attempted`, then if that is not a take to `acquire` as `first`. None: run `acquire`."""
    link, record = state.link, state.heartbeat
    if link.native and link.replicas <= 0 and record is not None and record.fresh(clock()):
        return record.life, ("SET", key, value, "NX", "GET")  # type: ignore[return-value]
    return None


def attempted(state: LockState, key: str, value: bytes, life: bytes, reply: Any) -> bool:
    """Whether a quick attempt's reply is a take (then held under `life`)."""
    if reply is None or holders.as_bytes(reply) == value:
        state.held[key] = (value, life, False, clock())
        return True
    return False


def acquire(state: LockState, key: str, value: bytes, timeout_ms: int, blocking: bool,
            reap_dead: bool, first: tuple[bytes, Any] | None = None) -> Steps:
    """One attempt, then pauses of PAUSE between attempts; the budget counts pauses, not the
    clock, against `timeout_ms / 1000`, and a negative timeout never runs out.

    An attempt is one write of `value` if the key is free. Finding its own value (a retried
    write whose reply was lost) counts as taken; finding a value of this process's owed
    release, or with `reap_dead` one whose holder's heartbeat is gone, it deletes that value and
    writes again at once. An attempt that fails or is interrupted takes its own value back.
    `first`: (life, reply or error) of a first attempt already sent (`quick_attempt`)."""
    link, record = state.link, state.heartbeat
    assert record is not None
    limit, spent = timeout_ms / 1000.0, 0.0
    life: bytes | None
    while True:
        if first is not None:
            life, sent = first
            first = None
        else:
            sent = NOT_SENT
            now = clock()
            if not record.fresh(now):  # a lock never names a process that looks dead
                yield from refresh(record, link)
                now = clock()
            life = record.life if record.covers(now) else None  # else too few replicas have it
        try:
            taken = False
            if life is None:
                pass
            elif link.native and link.replicas <= 0:  # every attempt's path: no step deeper
                try:
                    if sent is NOT_SENT:
                        current = yield Call(("SET", key, value, "NX", "GET"), GET)
                    elif isinstance(sent, BaseException):
                        raise sent
                    else:
                        current = sent
                except ResponseError as e:
                    if "syntax" not in str(e).lower():
                        raise
                    link.native = False  # a server before 7.0
                    taken, current = yield from take(link, key, value)
                else:
                    current = None if current is None else holders.as_bytes(current)
                    taken = current is None or current == value
            else:
                taken, current = yield from take(link, key, value)
            if not taken and life is not None and current is not None and (
                    yield from clear_stale(state, key, current, reap_dead)):
                taken = (yield from take(link, key, value))[0]
        except BaseException:
            try:  # the write perhaps applied: take our own value back (owed, if that fails)
                yield from script(holders.DELETE_IF, key, value)
            except BaseException:  # noqa: BLE001 - the attempt's own error is what counts
                record.owe(key, value)
            raise
        if taken:
            state.held[key] = (value, life, False, clock())
            return True
        if not blocking or 0 <= limit <= spent:
            return False
        yield Pause(PAUSE)
        spent += PAUSE


def clear_stale(state: LockState, key: str, current: bytes, reap_dead: bool) -> Steps:
    """Deletes `current` if it is this process's own owed release or, with `reap_dead`, a dead
    holder's (that exact value only): whether the key may be free now."""
    link, record = state.link, state.heartbeat
    assert record is not None
    if owed_here(record, key, current):
        yield from release_value(link, key, current)
        record.settled(key, record.owed.get(key, current))
        return True
    if not reap_dead:
        return False
    holder = holders.parse(current)[1]
    if holder is None or holder.process == holders.identity.process:
        return False
    if (yield ("EXISTS", holder.heartbeat_key)):
        return False
    if int((yield from script(holders.DELETE_IF, key, current))) == 1:
        metrics.count("reaps", state.labels, key)
    return True


def quick_release(state: LockState, key: str) -> tuple[bytes, tuple[Any, ...], bool] | None:
    """(the value, the one command, whether fair) when a release is that one script by its SHA
    (no replicas to wait for: a compare-and-delete, or a fair release that hands on), no longer
    held: a driver may send it and hand the reply to `released`, or the error it raised to
    `release` as `first`. None: run `release`."""
    mine = state.held.get(key)
    if mine is None or state.link.replicas > 0:
        return None
    mine = state.held.pop(key, None)  # None: another thread's release of it came first
    if mine is None:
        return None
    value = mine[0]
    if mine[2]:
        return value, ("EVALSHA", fair.WIRE_SHA[fair.RELEASE], 5, *fair.wire(key), value), True
    return value, ("EVALSHA", DELETE_IF_SHA, 1, key, value), False


def released(state: LockState, key: str, value: bytes, outcome: Any) -> bool:
    """Whether the delete found the key this acquire's or gone (else the lock was lost)."""
    record = state.heartbeat
    if record is not None and record.owed:
        record.settled(key, value)
    return int(outcome) >= 0


def release(state: LockState, key: str,
            first: tuple[bytes, BaseException, bool] | None = None) -> Steps:
    """Deletes the key only if it still holds this acquire's value: False when another
    acquire's value holds it (the lock was lost). A release that fails is owed: sent again by
    the heartbeat's thread while this process's instances use that server, by this call made
    again, or by this process's next attempt on the key, until it gets through.
    `first`: (value, error, whether fair) of a quick release that raised (`quick_release`)."""
    record = state.heartbeat
    failed: BaseException | None = None
    is_fair: bool | None
    if first is not None:
        value, failed, is_fair = first
    else:
        mine = state.held.pop(key, None)
        if mine is None:
            owed = record.owed.get(key) if record is not None else None
            if owed is None:
                return True  # not taken by this instance: nothing of ours to delete
            mine = (owed, None, None, 0.0)
        value, _, is_fair, _ = mine
    link = state.link
    try:
        if failed is not None and not isinstance(failed, NoScriptError):
            raise failed  # perhaps applied: owed, and sent again until it gets through
        if is_fair is False and link.replicas <= 0:  # every release's path: no step deeper
            try:
                if failed is not None:
                    raise failed
                kept = int((yield ("EVALSHA", DELETE_IF_SHA, 1, key, value))) >= 0
            except NoScriptError:
                kept = int((yield ("EVAL", holders.DELETE_IF, 1, key, value))) >= 0
        else:
            kept = yield from release_value(link, key, value, is_fair)
    except NotReplicated:
        raise  # the delete was applied; sending it again would not make replicas have it
    except Exception:
        if record is not None:
            record.owe(key, value)
        metrics.count("release.failures", state.labels, key)
        raise
    except BaseException:
        # interrupted (cancelled) with the delete perhaps not sent: send it again
        try:
            yield from release_value(state.link, key, value, is_fair)
        except BaseException:  # noqa: BLE001
            if record is not None:
                record.owe(key, value)
        raise
    if record is not None and record.owed:
        record.settled(key, value)
    return kept


def holds(state: LockState, key: str) -> Steps:
    mine = state.held.get(key)
    if mine is None:
        return False
    current = yield ("GET", key)
    return current is not None and holders.as_bytes(current) == mine[0]


from tarvex_locks import fair  # noqa: E402 - fair locks build on the steps above
