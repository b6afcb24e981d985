"""Runs the lock protocol (`tarvex_locks.protocol`) on a sync redis-py client, and keeps this
process's heartbeats: one thread per server, each with a client of its own whose every command
is bounded well inside the heartbeat's TTL, so that no server can delay another's heartbeat.

A heartbeat thread is never inside a command when the process forks: `fork()` waits for the
command in flight (at most its bound), so a child never inherits a half-done import or a
connection in mid-reply, and can lock at once.
"""
from __future__ import annotations

import encodings.idna  # noqa: F401 - a first connection imports it: never mid-import at a fork
import itertools
import os
import threading
import time
from collections.abc import Callable, Mapping
from functools import partial
from typing import Any, NamedTuple

import redis
from redis.backoff import NoBackoff
from redis.crc import key_slot
from redis.exceptions import NoScriptError, ResponseError
from redis.retry import Retry

from tarvex_locks import fair, heartbeats, holders, protocol
from tarvex_locks.fair import WAKE_PREFIX, Await, Expect
from tarvex_locks.heartbeats import Heartbeat
from tarvex_locks.protocol import Call, Link, LockState, Pause, Reroute, Steps, Waited

try:
    from redis.cluster import RedisCluster
except ImportError:  # pragma: no cover - every supported redis-py has it
    RedisCluster = None  # type: ignore[assignment, misc]

sched_yield = getattr(os, "sched_yield", None)  # not on every platform

# A heartbeat command's bound, as a share of the TTL: a refresh every third of it, each ending
# within a quarter of it, keeps the key alive through one failed refresh.
BOUND_SHARE = 0.25


def run(client: Any, steps: Steps, own: Any = None) -> Any:
    """Runs one protocol operation on `client`: its result, or the error it ends with. `own`:
    this thread's own wake-up subscription, if the operation named its channel."""
    send, throw = steps.send, steps.throw
    expected = None
    try:
        request = send(None)
        while True:
            try:
                kind = type(request)
                if kind is tuple:
                    reply = client.execute_command(*request)
                elif kind is Call:
                    reply = client.execute_command(*request.args, **request.options)
                elif kind is Expect:
                    expected = request.token
                    event = threading.Event()
                    reply = expect(request, event, event.set, own)
                    if own is None and is_cluster(client):  # for its next waits
                        thread_channel(request.state, request.key, master_of(client, request.key),
                                       ask=True)
                else:
                    reply = perform(client, request)
            except BaseException as e:
                request = throw(e)
            else:
                request = send(reply)
    except StopIteration as done:
        return done.value
    finally:
        if expected is not None:
            wakers.pop(expected, None)


def acquire(client: Any, state: LockState, key: str, value: bytes, timeout_ms: int,
            blocking: bool, reap_dead: bool) -> bool:
    """`protocol.acquire`, its first attempt sent here when that is one command: the common
    acquire costs no generator."""
    quick = protocol.quick_attempt(state, key, value)
    if quick is None:
        return run(client, protocol.acquire(  # type: ignore[no-any-return]
            state, key, value, timeout_ms, blocking, reap_dead))
    life, args = quick
    try:
        reply = client.execute_command(*args, get=True)
    except BaseException as e:  # noqa: BLE001 - the protocol cleans up and raises it
        reply = e
    else:
        if protocol.attempted(state, key, value, life, reply):
            return True
    return run(client, protocol.acquire(  # type: ignore[no-any-return]
        state, key, value, timeout_ms, blocking, reap_dead, (life, reply)))


def acquire_fair(client: Any, state: LockState, key: str, metadata: Any, timeout_ms: int,
                 blocking: bool, reap_dead: bool) -> bool:
    """`fair.acquire`, its first attempt sent here when that is one script. A waiter is woken
    on a channel lent to it, when one is free (one is made for later when none was); else by a
    thread: on a cluster one that reads sharded channels, if it reads its slot's already."""
    join = blocking and timeout_ms != 0
    tag = shard(client, state, key) if join and clusters else None
    own = lend_channel(state, tag) if join else None
    made = None
    try:
        channel = own.suffix if own is not None else None if tag is None else thread_channel(
            state, key, master_of(client, key))
        quick = fair.quick_attempt(state, key, metadata, timeout_ms, blocking, channel)
        if quick is not None:
            try:
                reply = client.execute_command(*quick.args)
            except NoScriptError:  # not run: the protocol sends the script itself
                quick = None
            except BaseException as e:  # noqa: BLE001 - the protocol cleans up and raises it
                reply = e
            else:
                if fair.attempted(state, key, quick, reply):
                    return True
        if join and own is None:  # it waits: one for the next waiters (this one is queued)
            made = new_channel(client, state, tag)
        return run(client, fair.acquire(  # type: ignore[no-any-return]
            state, key, metadata, timeout_ms, blocking, reap_dead,
            None if quick is None else (quick, reply), channel), own and own.pubsub)
    finally:
        for lent in (own, made):
            if lent is not None:
                give_back(state, lent)


def release(client: Any, state: LockState, key: str) -> bool:
    """`protocol.release`, sent here when that is one script."""
    quick = protocol.quick_release(state, key)
    if quick is None:
        return run(client, protocol.release(state, key))  # type: ignore[no-any-return]
    value, args, is_fair = quick
    try:
        outcome = client.execute_command(*args)
    except BaseException as e:  # noqa: BLE001 - the protocol sends it again or owes it
        return run(client, protocol.release(  # type: ignore[no-any-return]
            state, key, (value, e, is_fair)))
    if outcome == 2 and sched_yield is not None:
        # handed on: the woken waiter is often queued for this very core, behind this thread
        sched_yield()
    return protocol.released(state, key, value, outcome)


def perform(client: Any, request: Any) -> Any:
    kind = type(request)
    if kind is Pause:
        time.sleep(request.seconds)
        return None
    if kind is Await:
        waiting = wakers.get(request.token)
        if waiting is None:
            time.sleep(request.seconds)
            return None
        if waiting.own is not None:
            return read_own(waiting, request.seconds)
        woken = waiting.event.wait(request.seconds)
        waiting.event.clear()
        return waiting.fence if woken else None
    if kind is Waited:
        pipe = node_for(client, request.key).pipeline(transaction=False)
        pipe.execute_command(*request.args, **request.options)
        pipe.execute_command("WAIT", request.replicas, request.timeout_ms)
        return tuple(pipe.execute(raise_on_error=False))
    if kind is Reroute:
        if is_cluster(client):
            try:
                client.nodes_manager.initialize()
            except Exception:  # noqa: BLE001 - still failing over: the next command learns it
                pass
        return None
    raise TypeError(f"not a protocol request: {request!r}")


def is_cluster(client: Any) -> bool:
    return RedisCluster is not None and isinstance(client, RedisCluster)


def node_for(client: Any, key: Any) -> Any:
    """The client of the one server that serves `key`: the client itself, or for a cluster the
    client of the key's master."""
    if is_cluster(client):
        return client.get_redis_connection(client.get_node_from_key(key))
    return client


# --- the heartbeat's own clients ---

def server_options(port: int, username: str | None, password: str | None, ssl: bool,
                   ssl_certfile: str | None, ssl_keyfile: str | None,
                   ssl_ca_certs: str | None) -> dict[str, Any]:
    """`connect`'s keywords as redis-py's: TLS options only when TLS is on."""
    options: dict[str, Any] = {"port": port, "username": username, "password": password}
    if ssl:
        options.update(ssl=True, ssl_certfile=ssl_certfile, ssl_keyfile=ssl_keyfile,
                       ssl_ca_certs=ssl_ca_certs)
    return options


def bounded_client(cls: type, host: str, options: Mapping[str, Any], seconds: float,
                   nodes: Callable[[], list[tuple[str, int]]] | None = None) -> Any:
    """A sync client of `cls`'s layout (its `layout`: "single", "cluster" or "sentinel") for
    the same server, whose every command ends within about `seconds`: no retries. A cluster's
    is introduced to every node the instance's own client knows (`nodes`), so that it can be
    made again after the node named to `connect` died."""
    quick = {**options, "socket_timeout": seconds, "socket_connect_timeout": seconds,
             "retry": Retry(NoBackoff(), 0)}
    layout = getattr(cls, "layout", "single")
    if layout == "cluster":
        from redis.cluster import ClusterNode

        port = quick.pop("port")
        known = dict.fromkeys([(host, port), *(nodes() if nodes else [])])
        return RedisCluster(startup_nodes=[ClusterNode(h, p) for h, p in known], **quick)
    if layout == "sentinel":
        from redis.sentinel import Sentinel

        port = quick.pop("port")
        addresses = [(host, port)] + [a for a in cls.sentinels if a != (host, port)]  # type: ignore[attr-defined]
        asked = {**(cls.sentinel_kwargs or {}), "socket_timeout": seconds,  # type: ignore[attr-defined]
                 "socket_connect_timeout": seconds}
        sentinel = Sentinel(addresses, sentinel_kwargs=asked, **quick)
        client = sentinel.master_for(cls.service_name)  # type: ignore[attr-defined]
        client.sentinels_of = sentinel.sentinels
        return client
    return redis.Redis(host=host, **quick)


def close(client: Any) -> None:
    for sentinel in getattr(client, "sentinels_of", ()):
        sentinel.close()
    client.close()


# --- heartbeat threads ---

class Pulse:
    """The thread that keeps one server's heartbeat while instances use it, and sends again
    the releases owed to that server."""

    def __init__(self, record: Heartbeat, link: Link, connect: Callable[[], Any]) -> None:
        self.record = record
        self.link = link
        self.connect = connect
        self.busy = threading.Lock()  # held while a command is in flight: a fork waits for it
        self.wake = threading.Event()
        self.ending = False  # the process's last instance left: delete the heartbeat key
        self.thread = threading.Thread(target=self.run, name="tarvex-locks heartbeat",
                                       daemon=True)

    def run(self) -> None:
        record, client = self.record, None
        try:
            while True:
                interval = record.ttl / 3
                with self.busy:  # no refresh can follow the deletion of the last disconnect
                    with _pulses_guard:
                        active = bool(record.members)
                        if not active and _pulses.get(record.name) is self:
                            del _pulses[record.name]
                    try:
                        client = client or self.connect()
                        if active:
                            run(client, protocol.refresh(record, self.link))
                        elif self.ending:
                            run(client, protocol.end(record, self.link))
                        if record.owed:  # once more after the last user left: then the
                            # heartbeat lapses, and a reaper may free what is still owed
                            run(client, protocol.settle(record, self.link))
                    except Exception:  # noqa: BLE001 - a missed refresh shows as a lapse
                        interval = record.ttl / 10  # a failover may be ending: try again soon
                if not active:
                    return
                self.wake.wait(interval)
                self.wake.clear()
        finally:
            if client is not None:
                close(client)


_pulses: dict[Any, Pulse] = {}
_pulses_guard = threading.Lock()


def track(instance: Any, state: LockState, host: str, options: Mapping[str, Any],
          client: Any) -> None:
    """Counts a newly connected instance among its server's heartbeat's users."""
    cls = type(instance)
    ttl = float(cls.heartbeat_ttl)
    link = Link(getattr(cls, "min_replicas", 0), getattr(cls, "replica_timeout_ms", 100))
    state.server = ((cls, host, options.get("port")), ttl, link,
                    partial(bounded_client, cls, host, dict(options), ttl * BOUND_SHARE,
                            partial(known_nodes, client)))
    rejoin(instance, state)
    if is_cluster(client):
        clusters.add(state.server[0])
    if getattr(instance, "fair", False):
        listen(state)  # subscribed before the first wait, so no first wake-up is missed


def known_nodes(client: Any) -> list[tuple[str, int]]:
    """The nodes a cluster client (sync or asyncio) has learnt of; none for other clients."""
    get_nodes = getattr(client, "get_nodes", None)
    try:
        return [(node.host, int(node.port)) for node in get_nodes()] if get_nodes else []
    except Exception:  # noqa: BLE001 - an asyncio client not yet initialised knows none
        return []


def rejoin(instance: Any, state: LockState) -> Heartbeat:
    """Joins the heartbeat of the instance's server and makes sure a thread keeps it."""
    name, ttl, link, connect = state.server
    record = heartbeats.join(instance, state, name, ttl)
    with _pulses_guard:
        pulse = _pulses.get(name)
        if pulse is None or pulse.record is not record:
            pulse = _pulses[name] = Pulse(record, link, connect)
            pulse.thread.start()
        pulse.ending = False
    return record


def untrack(instance: Any, state: LockState) -> threading.Thread | None:
    """The instance disconnects; if it was the process's last instance, its server's heartbeat
    thread deletes the heartbeat key on its way out: that thread, to wait for."""
    record, last = heartbeats.leave(instance, state)
    pulse = _pulses.get(record.name) if record is not None else None
    if pulse is None:
        return None
    pulse.ending = last
    pulse.wake.set()  # it stops unless others still use it
    return pulse.thread if last else None


def ending_bound(state: LockState) -> float:
    """How long the heartbeat thread may take to delete the key: one bounded command."""
    return float(state.server[1]) * BOUND_SHARE + 1.0 if state.server else 0.0


# --- wake-ups of fair waiters ---

class Waiting:
    """A fair waiter as the listener knows it: how to wake it (from the listener's thread), and
    the fence of the claim it was woken for (0: it must check for itself)."""

    __slots__ = ("event", "wake", "request", "fence", "own")

    def __init__(self, event: Any, wake: Callable[[], Any], request: Expect,
                 own: Any = None) -> None:
        self.event, self.wake, self.request, self.fence = event, wake, request, 0
        self.own = own  # its thread's own subscription, which it reads itself


# token -> its waiter; wake-ups that came before their waiter registered, by token
wakers: dict[str, Waiting] = {}
early: dict[str, float] = {}
_wake_guard = threading.Lock()


def expect(request: Expect, event: Any, wake: Callable[[], Any], own: Any = None) -> None:
    """Registers a waiter, woken at once if its wake-up came already, and makes sure a thread
    listens on its server (and confirms the claims of waiters that read their own channel)."""
    waiting = Waiting(event, wake, request, own)
    with _wake_guard:
        wakers[request.token] = waiting
        came = early.pop(request.token, None)
    if came is not None:
        wake()  # with no fence: its next check finds the claim
    listen(request.state)


def woken(data: bytes, record: Heartbeat) -> tuple[float, Waiting, bytes] | None:
    """A wake-up `<token> <fence>` heard by the listener of `record`: wakes its waiter if it is
    one of that record's (the process's other listeners on the server hear it too). (when, the
    waiter, the claim's value) of the confirmation owed for it, if any."""
    token, _, number = data.partition(b" ")
    with _wake_guard:
        waiting = wakers.get(token.decode())
        if waiting is None:
            if len(early) > 256:  # those of waiters that found their claim by a check
                cutoff = time.monotonic() - 10
                for stale in [t for t, at in early.items() if at < cutoff]:
                    del early[stale]
            early[token.decode()] = time.monotonic()
            return None
    request = waiting.request
    if request.state.heartbeat is not record:
        return None
    confirm = request.state.link.replicas <= 0 and number.isdigit()
    waiting.fence = int(number) if confirm else 0
    try:
        waiting.wake()
    except RuntimeError:  # its event loop is closed
        return None
    return owing(waiting, number) if confirm else None


def owing(waiting: Waiting, number: bytes) -> tuple[float, Waiting, bytes]:
    """(when, the waiter, the claim's value) of the confirmation owed for a claim of fence
    `number` that a waiter was woken for."""
    request = waiting.request
    record = request.state.heartbeat
    # the waiter holds it only within half the claim's least life (its window): a quarter
    # window later still leaves a quarter for the confirmation, and most sections end before
    later = fair.window_ms(record.ttl if record is not None else 0.0) / 4000
    return time.monotonic() + later, waiting, request.head + number + b"}}"


class Channel(NamedTuple):
    """A wake-up channel of this process's own (`WAKE_PREFIX` + `suffix`), subscribed: lent to
    one waiting acquire at a time, which reads its wake-ups itself rather than being woken by
    the listener's thread. In a cluster it is a sharded channel of one slot (named by `tag`),
    heard only on that slot's master rather than sent across the cluster's bus."""
    pubsub: Any
    suffix: str
    tag: str | None


# by server: the channels no acquire has now, and how many there are, lent or not
_channels: dict[Any, list[Channel]] = {}
_made: dict[Any, int] = {}
_channels_guard = threading.Lock()
_numbers = itertools.count(1)
CHANNELS = 64  # made per server at most: more waiters at once are woken by a thread

SHARDED = hasattr(redis.client.PubSub, "ssubscribe")  # redis-py 5 and later
clusters: set[Any] = set()  # servers that are clusters: none spares other acquires the check
# servers that refused a sharded subscription (before Redis 7): their waiters use plain ones
_unsharded: set[Any] = set()


def shard(client: Any, state: LockState, key: str) -> str | None:
    """The name of the slot (`slot_tag`) whose sharded channel a waiter for `key` is woken on;
    None for a plain one (not a cluster, or see `shard_tag`)."""
    return shard_tag(state, key) if is_cluster(client) else None


def shard_tag(state: LockState, key: str) -> str | None:
    """`shard` on a cluster: None with a redis-py or a server without sharded messages."""
    if not SHARDED or state.server[0] in _unsharded:
        return None
    return slot_tag(key_slot(key.encode()))


def master_of(client: Any, key: str) -> tuple[str, int]:
    node = client.get_node_from_key(key)
    return node.host, int(node.port)


def refused(e: BaseException) -> bool:
    """Whether a server refused a sharded subscription as an unknown command (before 7)."""
    return isinstance(e, ResponseError) and str(e).lower().startswith("unknown command")


_tags: list[str] | None = None  # by slot: the smallest number in that slot
_tags_begun = False


def slot_tag(slot: int) -> str | None:
    """A short name in `slot`, to put a sharded channel there; None while a thread first makes
    them all (about 0.1 s, once per process: no caller waits for it)."""
    global _tags_begun
    if _tags is not None:
        return _tags[slot]
    with _channels_guard:
        begin, _tags_begun = not _tags_begun, True
    if begin:
        threading.Thread(target=make_tags, name="tarvex-locks slot names", daemon=True).start()
    return None


def make_tags() -> None:
    global _tags
    tags: list[str | None] = [None] * 16384
    left, n = len(tags), 0
    while left:  # every slot has a number below 110,000
        slot = key_slot(b"%d" % n)
        if tags[slot] is None:
            tags[slot], left = str(n), left - 1
        n += 1
    _tags = tags  # type: ignore[assignment]


def lend_channel(state: LockState, tag: str | None) -> Channel | None:
    with _channels_guard:
        free = _channels.get(state.server[0], [])
        for i in range(len(free) - 1, -1, -1):
            if free[i].tag == tag:
                return free.pop(i)
    return None


def give_back(state: LockState, channel: Channel) -> None:
    """Keeps a channel for the next acquire unless it failed (closed)."""
    name = state.server[0]
    with _channels_guard:
        if channel.pubsub.connection is not None:
            _channels.setdefault(name, []).append(channel)
            return
        _made[name] = _made.get(name, 1) - 1
    channel.pubsub.close()


def close_channels(name: Any) -> None:
    with _channels_guard:
        free = _channels.pop(name, [])
        _made[name] = _made.get(name, len(free)) - len(free)
    for channel in free:
        channel.pubsub.close()


def new_channel(client: Any, state: LockState, tag: str | None) -> Channel | None:
    """A channel subscribed before it is named; None if it cannot be had now, or the server
    has as many as it may."""
    name = state.server[0]
    with _channels_guard:
        if _made.get(name, 0) >= CHANNELS:
            return None
        _made[name] = _made.get(name, 0) + 1
    channel = subscribed(client, state, tag)
    if channel is None:
        with _channels_guard:
            _made[name] -= 1
    return channel


def subscribed(client: Any, state: LockState, tag: str | None) -> Channel | None:
    where = "" if tag is None else "{" + tag + "}"
    suffix = f"{where}{holders.identity.process}/{next(_numbers)}"
    pubsub = None
    try:
        pubsub = node_for(client, WAKE_PREFIX + suffix).pubsub()
        (pubsub.subscribe if tag is None else pubsub.ssubscribe)(WAKE_PREFIX + suffix)
        deadline = time.monotonic() + 1.0
        while (message := pubsub.get_message(timeout=max(0.0, deadline - time.monotonic()))) \
                is None or message.get("type") not in ("subscribe", "ssubscribe"):
            if time.monotonic() >= deadline:
                raise TimeoutError("no subscription")
    except Exception as e:  # noqa: BLE001 - woken by the listener instead
        if pubsub is not None:
            pubsub.close()
        if tag is not None and refused(e):
            _unsharded.add(state.server[0])
            return subscribed(client, state, None)
        return None
    return Channel(pubsub, suffix, tag)


def read_own(waiting: Waiting, seconds: float) -> int | None:
    """Waits up to `seconds` for this waiter's wake-up on its own channel: as `Await`'s reply.
    The confirmation is owed to the listener of its server."""
    request = waiting.request
    prefix = request.token.encode() + b" "
    deadline = time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        try:
            message = waiting.own.get_message(timeout=max(0.0, left))
            if message and message.get("type") == "sunsubscribe":  # its slot moved away
                raise ConnectionError("unsubscribed")
        except Exception:  # noqa: BLE001 - its checks find the claim; the channel is dropped
            waiting.own.close()
            time.sleep(max(0.0, deadline - time.monotonic()))
            return None
        data = message.get("data") if message and message.get("type") in (
            "message", "smessage") else None
        if data is not None and holders.as_bytes(data).startswith(prefix):
            number = holders.as_bytes(data)[len(prefix):]
            if request.state.link.replicas > 0 or not number.isdigit():
                return 0
            listener = _listeners.get(request.state.server[0])
            if listener is None:  # no confirmation without it: the waiter checks itself
                return 0
            listener.owe(owing(waiting, number))
            return int(number)
        if left <= 0:
            return None


def confirm(client: Any, waiting: Waiting, value: bytes) -> None:
    """Confirms a claim its waiter may hold (its acquire still running, or held now); one found
    gone shows as lapsed."""
    request = waiting.request
    mine = request.state.held.get(request.key)
    if wakers.get(request.token) is not waiting and (mine is None or mine[0] != value):
        return  # released already
    for _ in range(3):
        try:
            if int(client.eval(fair.CONFIRM, 1, request.key, value)) >= 0:
                fair.confirmed(request.state, request.key, value)
                return
            break
        except Exception:  # noqa: BLE001 - tried again; else shown as lapsed
            time.sleep(0.01)
    fair.claim_lost(request.state, request.key, value)


def listen(state: LockState) -> None:
    """Makes sure a thread listens for this process's wake-ups on the state's server."""
    name, _, _, connect = state.server
    record = state.heartbeat
    with _pulses_guard:
        listener = _listeners.get(name)
        if listener is None or listener.record is not record:
            listener = _listeners[name] = Listener(record, connect)
            listener.thread.start()


class Listener:
    """The thread that hears this process's wake-ups on one server (a fair lock handed on to
    one of its waiters) while instances use that server."""

    def __init__(self, record: Heartbeat, connect: Callable[[], Any]) -> None:
        self.record = record
        self.connect = connect
        self.owed: list[tuple[float, Waiting, bytes]] = []  # confirmations, the soonest first
        self.owed_guard = threading.Lock()
        self.thread = threading.Thread(target=self.run, name="tarvex-locks wake-ups",
                                       daemon=True)

    def owe(self, owing: tuple[float, Waiting, bytes]) -> None:
        with self.owed_guard:
            self.owed.append(owing)
            self.owed.sort(key=lambda entry: entry[0])

    def soonest(self) -> float | None:
        with self.owed_guard:
            return self.owed[0][0] if self.owed else None

    def due(self, ending: bool) -> list[tuple[float, Waiting, bytes]]:
        with self.owed_guard:
            count = len(self.owed) if ending else sum(
                1 for entry in self.owed if entry[0] <= time.monotonic())
            due, self.owed[:count] = self.owed[:count], []
        return due

    def run(self) -> None:
        record, client, pubsub = self.record, None, None
        channel = WAKE_PREFIX + holders.identity.process
        # the soonest confirmation is sent at most this late: an eighth of the window
        tick = min(0.25, fair.window_ms(record.ttl) / 8000)
        try:
            while True:
                with _pulses_guard:
                    ending = not record.members
                    if ending and _listeners.get(record.name) is self:
                        del _listeners[record.name]
                for _, waiting, value in self.due(ending):
                    confirm(client, waiting, value)
                if ending:
                    close_channels(record.name)
                    return
                try:
                    if pubsub is None:
                        client = client or self.connect()
                        pubsub = node_for(client, channel).pubsub(ignore_subscribe_messages=True)
                        pubsub.subscribe(channel)
                    soonest = self.soonest()
                    message = pubsub.get_message(timeout=tick if soonest is None else min(
                        tick, max(0.0, soonest - time.monotonic())))
                except Exception:  # noqa: BLE001 - missed wake-ups cost a check's pause
                    let_go(pubsub)
                    pubsub = None
                    time.sleep(0.1)
                    continue
                if message and message.get("type") == "message":
                    later = woken(holders.as_bytes(message["data"]), record)
                    if later is not None:
                        self.owe(later)
        finally:
            let_go(pubsub, client)


_listeners: dict[Any, Listener] = {}


def let_go(pubsub: Any, client: Any = None) -> None:
    """Closes a reading thread's subscription (and its client), those it has."""
    if pubsub is not None:
        pubsub.close()
    if client is not None:
        close(client)


# --- sharded channels read by a thread, for waiters without one of their own, on a cluster ---

def thread_channel(state: LockState, key: str, node: tuple[str, int],
                   ask: bool = False) -> str | None:
    """The channel (as `fair.place` takes it) on which a waiter for `key` that reads no channel
    of its own (asyncio's) is woken by a sharded message, when a thread reads it on `node`, the
    master of `key`'s slot; else None (the process's classic channel). `ask` (a waiter waits):
    that thread starts reading it for later waiters."""
    tag = shard_tag(state, key)
    if tag is None or state.heartbeat is None:
        return None
    suffix = "{" + tag + "}" + holders.identity.process
    name = (state.server[0], node)
    with _pulses_guard:
        shard = _shards.get(name)
        if shard is None or shard.record is not state.heartbeat:
            if not ask:
                return None
            shard = _shards[name] = Shard(state.heartbeat, state.server[3], name)
            shard.thread.start()
    return shard.want(suffix, ask)


class Shard:
    """The thread that reads this process's sharded wake-up channels on one master of a
    cluster: one per slot waited in, subscribed when a waiter first asks for it, named by the
    waiters that ask once it is."""

    def __init__(self, record: Heartbeat, connect: Callable[[], Any],
                 name: tuple[Any, tuple[str, int]]) -> None:
        self.record, self.connect, self.name = record, connect, name
        self.ready: set[str] = set()  # subscribed
        self.asked: set[str] = set()  # to subscribe
        self.guard = threading.Lock()
        self.thread = threading.Thread(target=self.run, name="tarvex-locks sharded wake-ups",
                                       daemon=True)

    def want(self, suffix: str, ask: bool) -> str | None:
        with self.guard:
            if suffix in self.ready:
                return suffix
            if ask:
                self.asked.add(suffix)
            return None

    def run(self) -> None:
        record, client, pubsub = self.record, None, None
        tick = min(0.25, fair.window_ms(record.ttl) / 8000)
        try:
            while True:
                with _pulses_guard:
                    if not record.members:
                        if _shards.get(self.name) is self:
                            del _shards[self.name]
                        return
                try:
                    if pubsub is None:
                        client = client or self.connect()
                        pubsub = client.get_redis_connection(client.get_node(
                            *self.name[1])).pubsub()
                    with self.guard:
                        asked, self.asked = self.asked, set()
                    for suffix in asked:  # one by one: one command's must share a slot
                        pubsub.ssubscribe(WAKE_PREFIX + suffix)
                    message = pubsub.get_message(timeout=tick)
                except ResponseError as e:  # a subscription refused: its waiters use classic
                    if refused(e):  # ones, and ask again (a moved slot's, of its new master)
                        _unsharded.add(record.name)
                    continue
                except Exception:  # noqa: BLE001 - its waiters are woken by classic ones
                    with self.guard:  # and ask again
                        self.ready.clear()
                    let_go(pubsub)
                    pubsub = None
                    time.sleep(0.1)
                    continue
                kind = message.get("type") if message else None
                if kind in ("ssubscribe", "sunsubscribe"):  # a moved slot's is taken back
                    suffix = holders.as_bytes(message["channel"]).decode()[len(WAKE_PREFIX):]
                    with self.guard:
                        (self.ready.add if kind == "ssubscribe" else self.ready.discard)(suffix)
                elif kind == "smessage":
                    listener = _listeners.get(record.name)
                    if listener is not None:  # else found by the waiter's next check
                        later = woken(holders.as_bytes(message["data"]), record)
                        if later is not None:
                            listener.owe(later)
        finally:
            let_go(pubsub, client)


_shards: dict[tuple[Any, tuple[str, int]], Shard] = {}
_held_at_fork: list[threading.Lock] = []


def _before_fork() -> None:
    for pulse in list(_pulses.values()):
        if pulse.busy.acquire(timeout=pulse.record.ttl):
            _held_at_fork.append(pulse.busy)


def _after_fork_in_parent() -> None:
    while _held_at_fork:
        _held_at_fork.pop().release()


def _after_fork_in_child() -> None:
    global _pulses, _listeners, _shards, _pulses_guard, _wake_guard, _channels_guard
    global _tags_begun
    _pulses, _listeners, _pulses_guard, _wake_guard = {}, {}, threading.Lock(), threading.Lock()
    _shards = {}
    _channels_guard = threading.Lock()
    _held_at_fork.clear()
    wakers.clear()
    early.clear()
    _channels.clear()  # the parent's
    _made.clear()
    _tags_begun = _tags is not None  # a thread making them is not in the child


os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_in_parent,
                    after_in_child=_after_fork_in_child)
