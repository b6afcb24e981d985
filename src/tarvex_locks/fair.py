"""Fair locks: waiters served in arrival order, each woken within a round trip of the release,
and a fencing token per hold. Part of the lock protocol (no I/O, as `tarvex_locks.protocol`).

Beside the lock key K, in K's cluster slot (`names`):
- a queue, a sorted set of the waiters' tokens by arrival;
- the waiters, a hash of token -> "expiry|window|process|head": a waiter keeps its place by
  checking again at least every `PAUSE`, and one that stops (timed out, cancelled, dead) is
  passed over once its entry expires, its `window` later (both keys expire two windows after
  the last check);
- a counter that numbers arrivals and holds: never below the server's clock in microseconds,
  so a number lost with the counter (a restart, a failover onto a replica behind) is still
  exceeded by the next one;
- the last release handed on, briefly (a retried release is then known as its own).

A lock is never free while live waiters queue: whoever frees it, or finds it free, gives it to
the first live waiter as a claim (the waiter's value, expiring when its place would have) and
publishes `<token> <fence>` on that waiter's channel (its process's, or one lent to it). The
woken waiter holds it at once, while its process's listener confirms the claim (`CONFIRM`),
which makes it a lock without expiry; a claim nobody confirms (its waiter died) expires by
itself. A waiter that learns of its claim late, or by its next check, confirms it itself with
that check.
"""
from __future__ import annotations

import functools
import hashlib
from typing import Any, NamedTuple

from tarvex_locks import holders, metrics
from tarvex_locks.heartbeats import clock
from tarvex_locks.protocol import (NOT_SENT, PAUSE, Link, LockState, Steps, not_replicated,
                                   owed_here, refresh, script, waited)

WAKE_PREFIX = "tarvex-locks:wake:"

_COMMON = """
local now_ms
local function now()  -- the server's clock in ms, read once and only when needed
    if not now_ms then
        local t = redis.call('TIME')
        now_ms = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
    end
    return now_ms
end

local function number()
    local n = redis.call('INCR', KEYS[4])
    local floor = now() * 1000
    if n < floor then
        n = floor
        redis.call('SET', KEYS[4], string.format('%.0f', n))
    end
    return string.format('%.0f', n)
end

local function forget(token)
    redis.call('ZREM', KEYS[2], token)
    redis.call('HDEL', KEYS[3], token)
end

local function first_waiter()
    while true do
        local first = redis.call('ZRANGE', KEYS[2], 0, 0)[1]
        if not first then return nil end
        local entry = redis.call('HGET', KEYS[3], first)
        if entry then
            local expiry, process, head = string.match(entry, '^(%d+)|%d+|([^|]*)|(.*)$')
            if expiry and tonumber(expiry) > now() then
                return first, process, head, tonumber(expiry) - now()
            end
        end
        forget(first)
    end
end

local function hand_on()  -- the claim lasts as long as the waiter's place would have
    local first, process, head, left = first_waiter()
    if not first then return false end
    forget(first)
    local n = number()
    redis.call('SET', KEYS[1], head .. n .. '}}', 'PX', string.format('%.0f', left))
    -- a channel in braces is a sharded one in this slot (a cluster's): only its node hears it
    local publish = string.sub(process, 1, 1) == '{' and 'SPUBLISH' or 'PUBLISH'
    redis.call(publish, 'tarvex-locks:wake:' .. process, first .. ' ' .. n)
    return true
end
"""

# One attempt. KEYS: lock, queue, waiters, counter; ARGV: head, "token|join|window|process".
# Answers the fence (an integer) when taken (or a claim given to it, confirmed now), else {the
# value that holds the lock, the counter as it was}: a claim handed on to this waiter later has
# a higher fence. With join = '1' the waiter takes or keeps its place in the queue.
TAKE = """
local got = redis.call('MGET', KEYS[1], KEYS[4])
local current = got[1]
if not current and redis.call('EXISTS', KEYS[2]) == 0 then  -- free, nobody queued
    local t = redis.call('TIME')
    local fence = math.max((tonumber(got[2]) or 0) + 1,
                           (tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)) * 1000)
    local text = string.format('%.0f', fence)
    redis.call('MSET', KEYS[4], text, KEYS[1], ARGV[1] .. text .. '}}')
    return fence
end
""" + _COMMON + """
local head = ARGV[1]
local token, join, window, process = string.match(ARGV[2], '^([^|]*)|(%d)|(%d+)|(.*)$')
window = tonumber(window)
if current and string.sub(current, 1, #head) == head then
    redis.call('PERSIST', KEYS[1])
    forget(token)
    return tonumber(string.sub(current, #head + 1, -3))
end
if not current then
    local first = first_waiter()
    if not first or first == token then
        if first then forget(token) end
        local fence = number()
        redis.call('SET', KEYS[1], head .. fence .. '}}')
        return tonumber(fence)
    end
    hand_on()
    current = redis.call('GET', KEYS[1])
end
if join == '1' then
    if not redis.call('ZSCORE', KEYS[2], token) then
        redis.call('ZADD', KEYS[2], number(), token)
    end
    redis.call('HSET', KEYS[3], token, string.format('%.0f', now() + window) .. '|'
               .. string.format('%.0f', window) .. '|' .. process .. '|' .. head)
    for i = 2, 3 do  -- gone by themselves once no waiter checks in
        redis.call('PEXPIRE', KEYS[i], 2 * window)
    end
end
return {current, got[2]}
"""

# Release. KEYS: lock, queue, waiters, counter, last handed on; ARGV: value. 2 if handed on to a
# waiter, 1 if deleted, 0 if gone (or already handed on by this same release, sent again within
# 2 s), -1 if another value holds it.
RELEASE = """
local current = redis.call('GET', KEYS[1])
if current == ARGV[1] and redis.call('EXISTS', KEYS[2]) == 0 then  -- nobody queued
    redis.call('DEL', KEYS[1])
    return 1
end
""" + _COMMON + """
if current ~= ARGV[1] then
    if redis.call('GET', KEYS[5]) == ARGV[1] then return 0 end
    if current then return -1 end
    return 0
end
if hand_on() then
    redis.call('SET', KEYS[5], ARGV[1], 'PX', 2000)
    return 2
end
redis.call('DEL', KEYS[1])
return 1
"""

# A waiter leaves the queue. KEYS: lock, queue, waiters, counter; ARGV: token, head, keep. A
# claim given to it meanwhile is confirmed (keep = '1': {1, value}) or handed on.
LEAVE = _COMMON + """
forget(ARGV[1])
local current = redis.call('GET', KEYS[1])
if current and string.sub(current, 1, #ARGV[2]) == ARGV[2] then
    if ARGV[3] == '1' then
        redis.call('PERSIST', KEYS[1])
        return {1, current}
    end
    if not hand_on() then redis.call('DEL', KEYS[1]) end
end
return {0, false}
"""

# The listener confirms a claim it woke a waiter for. KEYS: lock; ARGV: the claim's value.
# -1 if the key no longer holds it (expired, or already released).
CONFIRM = """
if redis.call('GET', KEYS[1]) ~= ARGV[1] then return -1 end
return redis.call('PERSIST', KEYS[1])
"""

SHA = {text: hashlib.sha1(text.encode()).hexdigest() for text in (TAKE, RELEASE, LEAVE)}
WIRE_SHA = {text: sha.encode() for text, sha in SHA.items()}


class Expect(NamedTuple):
    """From now on, wake-ups for `token` may come: the driver listens for them on the server
    of `state`, until the operation ends; a wake-up that came before this is delivered now.
    Unless `state` waits for replicas, the listener confirms each claim it wakes for (the lock
    `key`, valued `head` and the fence)."""
    token: str
    state: LockState
    key: str
    head: bytes


class Await(NamedTuple):
    """Wait up to `seconds` for a wake-up for `token`. Reply: None if none came; else the fence
    of the claim given (the listener confirms it), or 0 when the waiter must check itself."""
    token: str
    seconds: float


class Names(NamedTuple):
    lock: str
    queue: str
    waiters: str
    counter: str
    handed: str


@functools.lru_cache(maxsize=4096)
def names(key: str) -> Names:
    """The lock's keys, all in the lock key's cluster slot: its hash tag (the part between the
    first braces, when not empty) in braces, or the whole key in braces when it has none."""
    opened = key.find("{")
    closed = key.find("}", opened + 1) if opened >= 0 else -1
    if closed > opened + 1:
        tag = key[opened + 1:closed]
    elif "{" in key or "}" in key:
        tag = None  # no name can share its slot: only one server knows it (not a cluster)
    else:
        tag = key
    prefix = f"tarvex-locks:{{{tag}}}:" if tag is not None else "tarvex-locks:"
    return Names(key, prefix + "queue:" + key, prefix + "waiters:" + key,
                 prefix + "fence:" + key, prefix + "handed:" + key)


@functools.lru_cache(maxsize=4096)
def wire(key: str) -> tuple[bytes, ...]:
    """The lock's keys encoded once, for the commands a driver sends itself."""
    return tuple(name.encode() for name in names(key))


def place(token: str, join: bool, window: int, channel: str | None = None) -> str:
    """A TAKE's second argument: who waits, whether it joins the queue, for how long, and
    where it is woken (`WAKE_PREFIX` + `channel`; the process's own channel by default). A
    channel that starts with a hash tag is a sharded one, in the lock's slot."""
    return f"{token}|{1 if join else 0}|{window}|{channel or holders.identity.process}"


def window_ms(ttl: float) -> int:
    """How long a waiter keeps its place unchecked, and a claim waits for its waiter."""
    return int(min(ttl, 2.0) * 1000)


def run_script(link: Link, text: str, keys: tuple[str, ...], *args: Any) -> Steps:
    """A fair script on the key's server: (reply, acked), acked counted only with replicas."""
    if link.replicas <= 0:
        return (yield from script_keys(text, keys, *args)), 0
    return (yield from waited(keys[0], ("EVAL", text, len(keys), *keys, *args), link.replicas,
                              link.timeout_ms))


def script_keys(text: str, keys: tuple[str, ...], *args: Any) -> Steps:
    from redis.exceptions import NoScriptError

    try:
        return (yield ("EVALSHA", SHA[text], len(keys), *keys, *args))
    except NoScriptError:
        return (yield ("EVAL", text, len(keys), *keys, *args))


HEAD_END = b', "fence": '


def is_head(value: bytes) -> bool:
    """A fair acquire's value up to its fence (what is owed when its clean-up failed)."""
    return value.endswith(HEAD_END)


def token_of(head: bytes) -> str:
    start = head.rindex(b'"token": "') + 10
    return head[start:head.index(b'"', start)].decode()


def fence_of(value: bytes) -> int:
    return int(value[value.rindex(b" ") + 1:-2])


def take(link: Link, keys: Names, head: bytes, token: str, where: str,
         sent: Any = NOT_SENT) -> Steps:
    """One attempt, `where` its `place`: (taken, the value written or found, the counter before
    it). `sent`: the reply (or error) of this attempt sent already."""
    if sent is NOT_SENT:
        reply, acked = yield from run_script(link, TAKE, keys[:4], head, where)
    elif isinstance(sent, BaseException):
        raise sent
    else:
        reply, acked = sent, 0
    if type(reply) is not int:
        current, counter = reply
        return (False, None if current is None else holders.as_bytes(current),
                int(counter) if counter is not None else 0)
    if link.replicas > 0 and acked < link.replicas:
        yield from leave(link, keys, token, head, False)  # not held as a failover keeps
        return False, None, 0
    return True, head + b"%d}}" % reply, 0


def leave(link: Link, keys: Names, token: str, head: bytes, keep: bool) -> Steps:
    """Leaves the queue: the value of a claim given meanwhile if `keep` (now confirmed), else
    None (such a claim handed on)."""
    reply, _ = yield from run_script(link, LEAVE, keys[:4], token, head, "1" if keep else "0")
    return holders.as_bytes(reply[1]) if int(reply[0]) else None


def release_value(link: Link, keys: Names, value: bytes) -> Steps:
    """Releases `value`, handing the lock on to the first live waiter: False if another value
    holds it."""
    outcome, acked = yield from run_script(link, RELEASE, keys, value)
    if int(outcome) >= 1 and link.replicas > 0 and acked < link.replicas:
        raise not_replicated(keys.lock, acked, link.replicas, link.timeout_ms)
    return int(outcome) >= 0


def attempt(state: LockState, keys: Names, head: bytes, token: str, where: str,
            reap_dead: bool, first: Quick | None = None, sent: Any = NOT_SENT) -> Steps:
    """(the heartbeat's life it was taken under, the value, 0) or (life, None, the counter at
    its last check) if not taken. `first`, `sent`: a quick attempt already sent, and its reply
    or error."""
    link, record = state.link, state.heartbeat
    assert record is not None
    life: bytes | None
    if first is not None:
        life = first.life
    else:
        if not record.fresh(clock()):  # a lock never names a process that looks dead
            yield from refresh(record, link)
            if not record.covers(clock()):
                return None, None, 0
        life = record.life
    counter = 0
    for _ in range(2):  # once more after clearing this process's own stale value or a dead one's
        taken, current, counter = yield from take(link, keys, head, token, where, sent)
        sent = NOT_SENT
        if taken or current is None:
            return life, current if taken else None, counter
        if owed_here(record, keys.lock, current):  # this process's own release, still owed
            yield from release_value(link, keys, current)
            record.settled(keys.lock, record.owed.get(keys.lock, current))
            continue
        holder = holders.parse(current)[1] if reap_dead else None
        if holder is None or holder.process == holders.identity.process:
            break
        if (yield ("EXISTS", holder.heartbeat_key)):
            break
        if int((yield from script(holders.DELETE_IF, keys.lock, current))) == 1:  # that value only
            metrics.count("reaps", state.labels, keys.lock)
    return life, None, counter


class Quick(NamedTuple):
    """A fair acquire's first attempt as one command (`quick_attempt`)."""
    life: bytes
    head: bytes
    token: str
    args: tuple[Any, ...]
    at: float  # when it was made, before it was sent


def quick_attempt(state: LockState, key: str, metadata: Any, timeout_ms: int, blocking: bool,
                  channel: str | None = None) -> Quick | None:
    """The first attempt of a fair acquire when it is one script by its SHA (no replicas to
    wait for, a heartbeat refreshed within half its TTL): a driver may send `args`, hand the
    reply to `attempted` and, if that is not a take, the reply or the error it raised to
    `acquire` as `first` (a NoScriptError: run `acquire` alone). None: run `acquire`."""
    record = state.heartbeat
    now = clock()
    if state.link.replicas > 0 or record is None or not record.fresh(now):
        return None
    head, token = holders.fair_head(metadata)
    keys = wire(key)
    return Quick(record.life, head, token, (  # type: ignore[arg-type]
        "EVALSHA", WIRE_SHA[TAKE], 4, keys[0], keys[1], keys[2], keys[3], head,
        place(token, blocking and timeout_ms != 0, window_ms(record.ttl), channel)), now)


def attempted(state: LockState, key: str, quick: Quick, reply: Any) -> bool:
    """Whether a quick attempt's reply is a take (then held)."""
    if type(reply) is int:
        state.held[key] = (quick.head + b"%d}}" % reply, quick.life, True, clock())
        return True
    return False


def acquire(state: LockState, key: str, metadata: Any, timeout_ms: int, blocking: bool,
            reap_dead: bool, first: tuple[Quick, Any] | None = None,
            channel: str | None = None) -> Steps:
    """As `protocol.acquire`, in arrival order: a waiter joins the queue and, between its checks
    (every PAUSE at most), waits for a wake-up (on `channel`, see `place`); the budget is the
    time waited. `first`: a quick attempt already sent, and its reply or error."""
    quick, sent = first if first is not None else (None, NOT_SENT)
    head, token = (quick.head, quick.token) if quick else holders.fair_head(metadata)
    keys = names(key)
    record = state.heartbeat
    assert record is not None
    window = window_ms(record.ttl)
    limit = timeout_ms / 1000.0
    join = blocking and limit != 0
    where = place(token, join, window, channel)
    started, listening = clock(), False
    try:
        while True:
            checked = quick.at if quick else clock()  # its place lasts `window` from here on
            life, value, counter = yield from attempt(state, keys, head, token, where,
                                                      reap_dead, quick, sent)
            quick, sent = None, NOT_SENT
            if value is None:
                if join and not listening:  # wake-ups from now on, and one that came already
                    yield Expect(token, state, key, head)
                    listening = True
                spent = clock() - started
                if not blocking or 0 <= limit <= spent:
                    if not join:
                        return False
                    value = yield from leave(state.link, keys, token, head, True)
                    if value is None:
                        return False
                else:
                    fence = yield Await(token, PAUSE if limit < 0 else min(PAUSE, limit - spent))
                    # held at once when the claim was given after the last check (a higher fence
                    # than the counter then), so that it lasts a window from that check, and
                    # while half of that is left for the listener's confirmation
                    if (not fence or fence <= counter or life is None
                            or clock() - checked >= window / 2000 or state.link.replicas > 0):
                        continue
                    value = head + b"%d}}" % fence
                    state.unconfirmed[key] = (value, checked + window / 1000)
                    state.held[key] = (value, life, True, clock())
                    if lost.pop(value, None) is not None:  # its confirmation found it gone
                        state.held[key] = (value, None, True, clock())
                    return True
            state.held[key] = (value, life, True, clock())
            return True
    except BaseException:
        # failed or interrupted with a write perhaps applied: leave the queue, and hand on
        # whatever was taken or given; what cannot be sent now is owed
        try:
            yield from leave(state.link, keys, token, head, False)
        except BaseException:  # noqa: BLE001 - the acquire's own error is what counts
            record.owe(key, head)
        raise


# Claims whose confirmation found them gone, for a waiter that had not yet noted its hold.
lost: dict[bytes, None] = {}


def claim_lost(state: LockState, key: str, value: bytes) -> None:
    """A woken waiter's claim was gone when its listener confirmed it: its hold (noted before
    or after this) shows as lapsed."""
    while len(lost) >= 1000:  # the oldest, left by waiters that checked for themselves
        lost.pop(next(iter(lost)), None)
    lost[value] = None  # first: a waiter noting its hold after the check below finds it here
    mine = state.held.get(key)
    if mine is not None and mine[0] == value:
        state.held[key] = (value, None, True, mine[3])


def confirmed(state: LockState, key: str, value: bytes) -> None:
    """A claim held before its confirmation is confirmed: it no longer expires."""
    mine = state.unconfirmed.get(key)
    if mine is not None and mine[0] == value:
        state.unconfirmed.pop(key, None)
