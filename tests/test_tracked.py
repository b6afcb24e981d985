"""Locks that name their holder: the value, the heartbeat, owned release, and a plain Quorvane
on the same keys."""
import json
import os
import socket
import threading
import time

import pytest
import redis

from conftest import run_python
from fakes import Address
from tarvex_locks import holders
from tarvex_locks.tracked import LockLostWarning, TrackedQuorvane
from tarvex_locks.protocol import Link, take
from tarvex_locks.sync_driver import run


def tracked(redis_server, **kwargs):
    lock = TrackedQuorvane(**kwargs)
    lock.connect("127.0.0.1", port=redis_server.port)
    return lock


def test_value_heartbeat_and_a_plain_quorvane_beside_it(connected, redis_server, redis_client):
    lock, reaper = tracked(redis_server), tracked(redis_server, reap_dead=True)
    a = Address("orders/7")
    assert lock.acquire(a, metadata={"worker": "w1"}) is True
    value = json.loads(redis_client.get("orders/7"))
    holder = value.pop("tarvex.holder")
    assert value == {"worker": "w1"} and redis_client.ttl("orders/7") == -1
    assert (holder["host"], holder["pid"]) == (socket.gethostname(), os.getpid())
    assert 0 < redis_client.pttl(holders.HEARTBEAT_PREFIX + holder["process"]) <= 10000
    assert connected.acquire(a, timeout_ms=0) is False  # plain is excluded by tracked
    lock.release(a)
    assert redis_client.exists("orders/7") == 0

    assert connected.acquire(a) is True  # and tracked by plain, even a reaper: no holder named
    assert lock.acquire(a, timeout_ms=0) is False and reaper.acquire(a, timeout_ms=0) is False
    lock.release(a)  # not its lock: nothing is deleted
    assert redis_client.get("orders/7") == b""
    connected.release(a)

    assert lock.acquire(a) and lock.holds(a)
    token = json.loads(redis_client.get("orders/7"))["tarvex.holder"]["token"]
    redis_client.delete("orders/7")  # an operator deletes it; someone else takes it
    assert reaper.acquire(a) and not lock.holds(a)
    with pytest.warns(LockLostWarning, match="'orders/7' was held by another acquire"):
        lock.release(a)
    assert json.loads(redis_client.get("orders/7"))["tarvex.holder"]["token"] != token
    reaper.release(a)

    with pytest.raises(ValueError, match="'tarvex.holder' is reserved"):
        lock.acquire(a, metadata={"tarvex.holder": 1})
    with pytest.raises(TypeError, match="must be a dict or None, not list"):
        lock.acquire(a, metadata=[1])
    assert lock.acquire(a)
    redis_client.script_flush()  # as after a restart: the release sends the script's text
    lock.release(a)
    assert redis_client.exists("orders/7") == 0
    before_7 = Link()
    before_7.native = False  # the script that servers without SET ... NX GET get
    assert [run(redis_client, take(before_7, "w", v)) for v in (b"1", b"1", b"2")] == [
        (True, None), (True, b"1"), (False, b"1")]
    for instance in (lock, reaper):
        instance.disconnect()
    deadline = time.monotonic() + 2
    while any(t.name == "tarvex-locks heartbeat" for t in threading.enumerate()):
        assert time.monotonic() < deadline, "the heartbeat thread outlived the last instance"
        time.sleep(0.01)


FORKED = """
import json, os, sys, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside the heartbeat thread
import redis
from tarvex_locks.tracked import TrackedQuorvane
from tarvex_utils.models.data_models.address import Address
port = int(sys.argv[1])
lock = TrackedQuorvane(); lock.connect('127.0.0.1', port=port)
assert lock.acquire(Address('parent'))
pid = os.fork()
if pid == 0:
    lock.release(Address('parent'))  # the parent's lock, not the child's to release
    ok = lock.acquire(Address('child'))
    os._exit(0 if ok else 1)
assert os.waitpid(pid, 0)[1] == 0
r = redis.Redis(port=port)
who = {k: json.loads(r.get(k))['tarvex.holder'] for k in ('parent', 'child')}
print(json.dumps({k: [v['pid'], v['process'], r.exists('tarvex-locks:alive:' + v['process'])]
                  for k, v in who.items()}))
"""


def test_a_forked_child_holds_under_its_own_identity(redis_server, redis_client):
    out = run_python(FORKED.replace("sys.argv[1]", str(redis_server.port)))
    assert out.returncode == 0, out.stderr
    seen = json.loads(out.stdout)
    assert seen["parent"][0] != seen["child"][0] and seen["parent"][1] != seen["child"][1]
    assert seen["parent"][2] == seen["child"][2] == 1


AT_ONCE = """
import os, sys, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside the heartbeat thread
from tarvex_locks.tracked import TrackedQuorvane
from tarvex_utils.models.data_models.address import Address
failed = 0
for i in range(10):  # each in a process that never connected before, as a pre-fork server
    pid = os.fork()
    if pid == 0:
        lock = TrackedQuorvane(); lock.connect('127.0.0.1', port=PORT)
        child = os.fork()  # at once: the heartbeat's first refresh is on its way
        if child == 0:
            try:
                ok = lock.acquire(Address(f'at-once/{i}'), timeout_ms=0)
            except BaseException as e:
                print(repr(e), file=sys.stderr)
                ok = False
            os._exit(0 if ok else 1)
        os._exit(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]))
    failed += os.waitpid(pid, 0)[1] != 0
print(failed)
"""


def test_a_child_forked_right_after_connect_locks_at_once(redis_server):
    out = run_python(AT_ONCE.replace("PORT", str(redis_server.port)))
    assert out.returncode == 0 and out.stdout.strip() == "0", out.stderr


LAPSE = """
import asyncio, json, time
import redis
from tarvex_locks.aio import AsyncQuorvane
from tarvex_locks.holders import identity
from tarvex_locks.tracked import TrackedQuorvane
from tarvex_utils.models.data_models.address import Address
port, kind = PORT, KIND
a, r, seen = Address('lapse', kind), redis.Redis(port=port), []
if kind == 'sync':
    lock = type('L', (TrackedQuorvane,), {'heartbeat_ttl': 1.0})()
    lock.connect('127.0.0.1', port=port)
    seen += [lock.acquire(a), lock.lapsed]
    lock.disconnect()
    seen.append(r.exists(identity.heartbeat_key))
    lock.connect('127.0.0.1', port=port)
    seen.append(lock.lapsed)
    time.sleep(1.2)
    seen.append(lock.lapsed)
else:
    lock = type('L', (AsyncQuorvane,), {'heartbeat_ttl': 1.0})()
    lock.connect('127.0.0.1', port=port)
    async def first():
        seen.extend([await lock.acquire(a), lock.lapsed])
    async def second():  # another event loop, the same heartbeat: held, and not lapsed
        seen.extend([lock.lapsed, await lock.holds(a)])
        await lock.disconnect()
        seen.append(r.exists(identity.heartbeat_key))
        lock.connect('127.0.0.1', port=port)
        seen.append(lock.lapsed)
        await asyncio.sleep(1.2)
        seen.append(lock.lapsed)
    asyncio.run(first())
    asyncio.run(second())
print(json.dumps(seen))
"""


@pytest.mark.parametrize("kind,expected", [
    ("sync", [True, False, 0, True, True]),
    ("async", [True, False, False, True, 0, True, True]),
])
def test_lapsed_once_the_heartbeat_was_gone_even_after_a_reconnect(redis_server, kind,
                                                                   expected):
    # the process's last instance disconnects while it holds a lock: its heartbeat key goes,
    # and whatever follows, that lock is known as possibly lost
    out = run_python(LAPSE.replace("PORT, KIND", f"{redis_server.port}, {kind!r}"))
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == expected


def test_a_release_that_fails_is_sent_again(redis_server, redis_client):
    failing = []

    class Flaky(redis.Redis):
        def execute_command(self, *args, **options):
            if failing and args[0] == "EVALSHA":
                failing.pop()
                raise redis.exceptions.ConnectionError("lost on the way")
            return super().execute_command(*args, **options)

    Lock = type("Lock", (TrackedQuorvane,), {
        "heartbeat_ttl": 1.0, "_get_redis_client": staticmethod(lambda h, **o: Flaky(host=h, **o))})
    lock, other = Lock(), Lock()
    for instance in (lock, other):
        instance.connect("127.0.0.1", port=redis_server.port)
    a, b = Address("owed/a"), Address("owed/b")
    assert lock.acquire(a) and lock.acquire(b)
    for address in (a, b):
        failing.append(1)
        with pytest.raises(redis.exceptions.ConnectionError):
            lock.release(address)
    assert other.acquire(a, timeout_ms=0)  # this process's own value, still owed: gone at once
    other.release(a)
    deadline = time.monotonic() + 5
    while redis_client.exists("owed/b"):  # the heartbeat's thread sends the release again
        assert time.monotonic() < deadline, "an owed release was never sent again"
        time.sleep(0.05)
    for instance in (lock, other):
        instance.disconnect()


def test_fair_waiters_are_served_in_arrival_order_with_rising_fences(redis_server,
                                                                     redis_client):
    a, queue = Address("fair/1"), "tarvex-locks:{fair/1}:queue:fair/1"
    holder, newcomer, *waiters = locks = [TrackedQuorvane(fair=True) for _ in range(5)]
    for lock in locks:
        lock.connect("127.0.0.1", port=redis_server.port)
    assert holder.acquire(a)
    served, checked = [], threading.Event()

    def wait(lock):
        assert lock.acquire(a, timeout_ms=10000)
        served.append((lock, lock.fence(a)))
        checked.wait(10)  # the first one holds until the newcomer has tried
        lock.release(a)

    threads = [threading.Thread(target=wait, args=(lock,)) for lock in waiters]
    for i, thread in enumerate(threads):  # each queued before the next arrives
        thread.start()
        deadline = time.monotonic() + 5
        while redis_client.zcard(queue) < i + 1:
            assert time.monotonic() < deadline, "a waiter never queued"
            time.sleep(0.01)
    first = holder.fence(a)
    holder.release(a)  # handed to the first waiter at once: a newcomer cannot barge in
    assert newcomer.acquire(a, blocking=False) is False
    checked.set()
    for thread in threads:
        thread.join(30)
    assert [lock for lock, _ in served] == waiters
    fences = [first] + [fence for _, fence in served]
    assert fences == sorted(set(fences))
    assert redis_client.exists("fair/1", queue, "tarvex-locks:{fair/1}:waiters:fair/1") == 0
    for lock in locks:
        lock.disconnect()


def warmed_fair_trio(port, name):
    """A holder of `name`, a waiter and a newcomer, fair with 1 s places; the waiter's first
    wait timed out, leaving a channel of its own for its next one."""
    Short = type("Short", (TrackedQuorvane,), {"heartbeat_ttl": 1.0})
    a = Address(name)
    holder, waiter, newcomer = locks = [Short(fair=True) for _ in range(3)]
    for lock in locks:
        lock.connect("127.0.0.1", port=port)
    assert holder.acquire(a)
    assert waiter.acquire(a, timeout_ms=200) is False
    return a, locks


@pytest.mark.parametrize("woken_by,stalled", [  # the listener's confirmation: late or not
    ("its own channel", False), ("its own channel", True), ("the listener", False)])
def test_a_woken_fair_waiter_keeps_the_lock_past_its_place_or_reads_lapsed(
        redis_server, redis_client, monkeypatch, woken_by, stalled):
    from tarvex_locks import sync_driver

    if woken_by == "the listener":  # as when no channel of its own can be had
        monkeypatch.setattr(sync_driver, "new_channel", lambda *args: None)
    if stalled:  # it comes after the claim expired
        confirm = sync_driver.confirm
        monkeypatch.setattr(sync_driver, "confirm",
                            lambda *args: (time.sleep(1.2), confirm(*args)))
    a, locks = warmed_fair_trio(redis_server.port, "fair/long")
    holder, waiter, newcomer = locks
    queue, outcome = "tarvex-locks:{fair/long}:queue:fair/long", {}
    thread = threading.Thread(target=lambda: outcome.update(got=waiter.acquire(a, timeout_ms=5000)))
    thread.start()
    deadline = time.monotonic() + 5
    while redis_client.zcard(queue) < 1 or not sync_driver.wakers:  # queued, listening
        assert time.monotonic() < deadline, "the waiter never queued"
        time.sleep(0.01)
    entry = redis_client.hvals("tarvex-locks:{fair/long}:waiters:fair/long")[0]
    assert (b"/" in entry.split(b"|")[2]) == (woken_by == "its own channel")
    holder.release(a)
    thread.join(5)
    assert outcome["got"] is True and not waiter.lapsed
    time.sleep(1.3)  # held past its place
    if stalled:  # its claim may have expired: shown before the confirmation says so
        assert waiter.lapsed and newcomer.acquire(a, blocking=False) is True
        newcomer.release(a)
    else:
        assert newcomer.acquire(a, blocking=False) is False
        assert redis_client.pttl("fair/long") == -1 and waiter.holds(a) and not waiter.lapsed
    waiter.release(a)
    for lock in locks:
        lock.disconnect()


def test_a_fair_waiter_never_holds_by_a_wake_up_from_before_its_last_check(
        redis_server, redis_client, monkeypatch):
    from tarvex_locks import fair, sync_driver

    a, locks = warmed_fair_trio(redis_server.port, "fair/stale")
    holder, waiter, newcomer = locks
    queue, outcome = "tarvex-locks:{fair/stale}:queue:fair/stale", {}
    perform, stall, stalled = sync_driver.perform, [], threading.Event()

    def stalling(client, request):
        reply = perform(client, request)
        if stall and type(request) is fair.Await and reply is None:
            stall.pop()
            stalled.set()
            time.sleep(1.6)  # the waiting thread stalls after a wait, past its claim's life
        return reply

    monkeypatch.setattr(sync_driver, "perform", stalling)
    thread = threading.Thread(target=lambda: outcome.update(got=waiter.acquire(a, timeout_ms=3000)))
    thread.start()
    deadline = time.monotonic() + 5
    while redis_client.zcard(queue) < 1:
        assert time.monotonic() < deadline, "the waiter never queued"
        time.sleep(0.01)
    stall.append(True)
    assert stalled.wait(5)
    holder.release(a)  # handed to the stalled waiter, its wake-up unread
    while redis_client.exists("fair/stale"):
        assert time.monotonic() < deadline + 3, "the claim never expired"
        time.sleep(0.01)
    assert newcomer.acquire(a, blocking=False) is True
    thread.join(10)
    assert outcome["got"] is False  # the old wake-up, read after its next check, is no hold
    newcomer.release(a)
    for lock in locks:
        lock.disconnect()


def test_a_short_ttl_beside_a_long_one_never_shortens_the_heartbeat(redis_server, redis_client):
    Long, Short = (type(n, (TrackedQuorvane,), {"heartbeat_ttl": t}) for n, t in
                   (("Long", 10.0), ("Short", 1.0)))
    long, short = Long(), Short()
    for lock in (long, short):
        lock.connect("127.0.0.1", port=redis_server.port)
    assert long.acquire(Address("two-ttls"))
    short.disconnect()  # its TTL no longer refreshed; the key must live by the longer one
    key = holders.identity.heartbeat_key
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline:
        assert redis_client.exists(key) and not long.lapsed
        time.sleep(0.05)
    long.release(Address("two-ttls"))
    long.disconnect()


@pytest.mark.parametrize("lost", [1, 2])  # the reply of a fair attempt; its clean-up too
def test_a_fair_attempt_whose_reply_is_lost_leaves_nothing(redis_server, redis_client, lost):
    from tarvex_locks.fair import SHA, TAKE

    failing = []

    class Flaky(redis.Redis):
        def execute_command(self, *args, **options):
            if failing and args[0] in ("EVALSHA", "EVAL"):
                failing.pop()
                if args[1] in (TAKE, SHA[TAKE]):
                    super().execute_command(*args, **options)  # applied, its reply lost
                raise redis.exceptions.ConnectionError("lost on the way")
            return super().execute_command(*args, **options)

    Lock = type("Lock", (TrackedQuorvane,), {
        "heartbeat_ttl": 1.0, "_get_redis_client": staticmethod(lambda h, **o: Flaky(host=h, **o))})
    lock = Lock(fair=True)
    lock.connect("127.0.0.1", port=redis_server.port)
    assert lock.acquire(Address("warm")) and lock.release(Address("warm")) is None  # fresh
    failing.extend([1] * lost)
    with pytest.raises(redis.exceptions.ConnectionError):
        lock.acquire(Address("lost/fair"), blocking=False)
    deadline = time.monotonic() + 5
    while redis_client.exists("lost/fair"):  # taken back at once, or owed and sent again
        assert time.monotonic() < deadline, "a fair attempt's value was left behind"
        time.sleep(0.05)
    lock.disconnect()


def test_wrong_arguments_are_named_and_nothing_is_written(redis_server, redis_client):
    import asyncio
    import datetime

    from tarvex_locks.aio import AsyncQuorvane

    for lock in (TrackedQuorvane(fair=True), TrackedQuorvane(), AsyncQuorvane()):
        lock.connect("127.0.0.1", port=redis_server.port)
        wait = asyncio.run if isinstance(lock, AsyncQuorvane) else (lambda value: value)
        with pytest.raises(TypeError, match="Argument 'target_address' has incorrect type"
                                            r" \(expected Address, got str\)"):
            wait(lock.acquire("orders/7"))
        with pytest.raises(TypeError, match="metadata of a tracked lock must be JSON-encodable:"
                                            " Object of type datetime"):
            wait(lock.acquire(Address("orders/7"), metadata={"at": datetime.datetime.now()}))
        with pytest.raises(ValueError, match="Argument 'ssl_ca_certs': cannot read"
                                             " '/nowhere/ca.pem': No such file or directory"):
            lock.connect("127.0.0.1", port=redis_server.port, ssl=True,
                         ssl_ca_certs="/nowhere/ca.pem")
        if isinstance(lock, AsyncQuorvane):
            asyncio.run(lock.disconnect())
        else:
            lock.disconnect()
    assert [k for k in redis_client.keys("*") if not k.startswith(b"tarvex-locks:")] == []
