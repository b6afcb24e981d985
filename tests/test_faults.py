"""Injected faults: a server that dies, a holder that dies or is cut off, a paused server, an
interrupt, a lost reply."""
import json
import signal
import subprocess
import sys
import threading
import time

import pytest
import redis

from conftest import QUORVANE, RedisServer, module_entries
from fakes import Address
from tarvex_locks.tracked import TrackedQuorvane
from tools.proxies import ReplyDropper, StallingProxy

ACQ = QUORVANE + ".Quorvane.acquire"


@pytest.fixture
def own_server():
    server = RedisServer()
    yield server
    server.stop()


class NoRetryQuorvane:
    """A host subclass that builds its client without redis-py's own retries (by default the
    client retries a dead server three times with back-off before it raises)."""

    @staticmethod
    def _get_redis_client(host, **kw):
        from redis.backoff import NoBackoff
        from redis.retry import Retry

        return redis.Redis(host=host, port=kw["port"], retry=Retry(NoBackoff(), 0))


def test_server_killed_while_a_waiter_polls(qmod, own_server):
    admin = redis.Redis(port=own_server.port)
    admin.set("busy", "held")
    admin.close()
    q = type("Q", (NoRetryQuorvane, qmod.Quorvane), {})()
    q.connect("127.0.0.1", port=own_server.port)
    outcome = {}

    def wait():
        try:
            q.acquire(Address("busy"))
        except BaseException as e:  # noqa: B902 - the test inspects whatever comes out
            outcome["error"], outcome["at"] = e, time.monotonic()

    waiter = threading.Thread(target=wait)
    waiter.start()
    time.sleep(0.35)  # the waiter is in its polling loop
    killed = time.monotonic()
    own_server.kill()
    waiter.join(10)
    assert not waiter.is_alive()
    error = outcome["error"]
    assert isinstance(error, redis.exceptions.ConnectionError)
    assert outcome["at"] - killed <= 0.5
    assert module_entries(error)[:2] == [(ACQ, 135), (ACQ + "._set_command", 123)]

    own_server.start()
    q.connect("127.0.0.1", port=own_server.port)
    assert q.acquire(Address("after-restart")) is True


HOLDER = """
import sys, time, warnings
from tarvex_data.lock.implementations.quorvane import Quorvane
from tarvex_locks.tracked import TrackedQuorvane
from tarvex_utils.models.data_models.address import Address
Tracked = type('Tracked', (TrackedQuorvane,), {'heartbeat_ttl': 1.0})
q = (Tracked if sys.argv[2] == 'tracked' else Quorvane)()
q.connect('127.0.0.1', port=int(sys.argv[1]))
assert q.acquire(Address('orphan'), metadata={'pid': 1})
print('holding', flush=True)
if sys.stdin.readline().strip() == 'release':  # stdin closes if the test ends first
    print(f'lapsed {q.lapsed}', flush=True)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter('always')
        q.release(Address('orphan'))
    print('released;', *[w.category.__name__ for w in seen], flush=True)
"""


def start_holder(port: int, kind: str) -> subprocess.Popen:
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(port), kind],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline().strip() == "holding"
    return holder


@pytest.mark.parametrize("kind", ["plain", "tracked"])
def test_holder_killed(redis_server, redis_client, kind):
    # a plain key stays for good (no expiry, by design); a reaper takes a tracked one once the
    # dead holder's heartbeat has lapsed
    with start_holder(redis_server.port, kind) as holder:
        holder.send_signal(signal.SIGKILL)
        holder.wait(10)
    killed = time.monotonic()
    left = redis_client.get("orphan")
    assert json.loads(left)["pid"] == 1 and redis_client.ttl("orphan") == -1
    waiter = TrackedQuorvane(reap_dead=True)
    waiter.connect("127.0.0.1", port=redis_server.port)
    if kind == "plain":
        assert waiter.acquire(Address("orphan"), timeout_ms=300) is False
        assert redis_client.get("orphan") == left
    else:
        assert waiter.acquire(Address("orphan"), timeout_ms=5000) is True
        assert time.monotonic() - killed <= 1.0 + 1.0
        waiter.release(Address("orphan"))
    waiter.disconnect()


def test_a_partitioned_holders_late_release_keeps_the_next_holders_lock(redis_server,
                                                                        redis_client):
    proxy = StallingProxy(redis_server.port)
    waiter = TrackedQuorvane(reap_dead=True)
    waiter.connect("127.0.0.1", port=redis_server.port)
    with start_holder(proxy.port, "tracked") as holder:
        proxy.stall()  # cut off: its heartbeat lapses, and it is taken for dead
        assert waiter.acquire(Address("orphan"), timeout_ms=5000) is True
        holder.stdin.write("release\n")
        holder.stdin.flush()
        assert holder.stdout.readline().strip() == "lapsed True"
        time.sleep(0.3)  # its release waits on the stalled link
        proxy.heal()
        assert holder.stdout.readline().split() == ["released;", "LockLostWarning"]
    assert waiter.holds(Address("orphan"))
    waiter.release(Address("orphan"))
    waiter.disconnect()
    proxy.close()


def test_a_stalled_server_delays_no_other_servers_heartbeat(redis_server, redis_client,
                                                            own_server):
    from tarvex_locks.holders import identity

    proxy = StallingProxy(own_server.port)
    Short = type("Short", (TrackedQuorvane,), {"heartbeat_ttl": 1.0})
    cut_off, healthy = Short(), Short()
    cut_off.connect("127.0.0.1", port=proxy.port)
    healthy.connect("127.0.0.1", port=redis_server.port)
    assert cut_off.acquire(Address("far")) and healthy.acquire(Address("near"))
    proxy.stall()
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:  # three TTLs with one server's link stalled
        assert redis_client.exists(identity.heartbeat_key), "the healthy server's heartbeat lapsed"
        time.sleep(0.05)
    assert cut_off.lapsed and not healthy.lapsed
    proxy.heal()
    healthy.release(Address("near"))
    for lock in (healthy, cut_off):
        lock.disconnect()
    proxy.close()


def test_a_reaping_attempt_whose_second_write_is_lost_takes_its_value_back(redis_server,
                                                                          redis_client):
    dead = {"tarvex.holder": {"host": "h", "pid": 1, "process": "gone", "token": "t"}}
    redis_client.set("reaped", json.dumps(dead))
    proxy = ReplyDropper(redis_server.port)
    q = type("Q", (NoRetryQuorvane, TrackedQuorvane), {})(reap_dead=True)
    q.connect("127.0.0.1", port=proxy.port)
    proxy.drop_next_set_replies(1, after=1)  # the first write finds the dead holder's value
    with pytest.raises(redis.exceptions.ConnectionError):
        q.acquire(Address("reaped"), timeout_ms=0)
    assert proxy.dropped == 1 and redis_client.get("reaped") is None
    q.disconnect()
    proxy.close()


def test_paused_server_one_holder_after_the_pause(qmod, redis_server, redis_client):
    results = []
    instances = []
    for _ in range(4):
        q = qmod.Quorvane()
        q.connect("127.0.0.1", port=redis_server.port)
        instances.append(q)
    redis_client.execute_command("CLIENT", "PAUSE", "400", "WRITE")
    paused = time.monotonic()
    threads = [threading.Thread(target=lambda q=q: results.append(
        (q.acquire(Address("paused"), timeout_ms=0), time.monotonic()))) for q in instances]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert sorted(r for r, _ in results) == [False, False, False, True]
    assert min(at for _, at in results) - paused >= 0.3  # nobody got through the pause
    assert redis_client.get("paused") == b""


BLOCKED = """
import signal, sys, json, traceback
signal.signal(signal.SIGINT, signal.default_int_handler)  # even when started with it ignored
from tarvex_data.lock.implementations.quorvane import Quorvane
from tarvex_utils.models.data_models.address import Address
q = Quorvane(); q.connect('127.0.0.1', port=int(sys.argv[1]))
print('ready', flush=True)
try:
    q.acquire(Address('taken'), metadata={'mine': True})
except KeyboardInterrupt as e:
    src = [(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)
           if f.filename.startswith('src')]
    print(json.dumps(src), flush=True)
"""


def test_interrupt_while_blocked(redis_server, redis_client):
    redis_client.set("taken", "holder")
    before = redis_client.dbsize()
    with subprocess.Popen([sys.executable, "-c", BLOCKED, str(redis_server.port)],
                          stdout=subprocess.PIPE, text=True) as proc:
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(0.35)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        line = proc.stdout.readline()
        elapsed = time.monotonic() - sent
        proc.wait(10)
    assert elapsed <= 0.3
    entries = [tuple(e) for e in json.loads(line)]
    assert entries[0][0] == ACQ and entries[0][1] in (135, 140)
    assert redis_client.get("taken") == b"holder" and redis_client.dbsize() == before


def default_client_retries() -> bool:
    """Whether redis-py's default client sends a failed command again (it does from 6.0)."""
    return redis.Redis().connection_pool.make_connection().retry._retries > 0


@pytest.mark.parametrize("kind", ["plain", "plain, own factory", "tracked",
                                  "tracked, own factory"])
def test_lost_reply_to_an_applied_write(qmod, redis_server, redis_client, kind):
    # plain: a client that retries sends SET NX again, finds its own key, and acquire gives up;
    # one that does not raises the lost connection's error; the key stays either way. tracked:
    # the retry finds its own value and holds the lock; without retries the error comes after
    # the value was taken back. Nothing is left behind.
    tracked = kind.startswith("tracked")
    base = TrackedQuorvane if tracked else qmod.Quorvane
    proxy = ReplyDropper(redis_server.port)
    q = (type("Q", (NoRetryQuorvane, base), {}) if "own" in kind else base)()
    q.connect("127.0.0.1", port=proxy.port)
    proxy.drop_next_set_replies(1)
    try:
        if "own" not in kind and default_client_retries():
            assert q.acquire(Address("lost"), timeout_ms=300) is tracked
            if tracked:
                q.release(Address("lost"))
        else:
            with pytest.raises(redis.exceptions.ConnectionError):
                q.acquire(Address("lost"), timeout_ms=300)
    finally:
        q.disconnect()
        proxy.close()
    assert proxy.dropped == 1
    assert redis_client.get("lost") == (None if tracked else b"")


FAIR = """
import sys
from tarvex_locks.tracked import TrackedQuorvane
from tarvex_utils.models.data_models.address import Address
q = type('Short', (TrackedQuorvane,), {'heartbeat_ttl': 2.0})(fair=True)
q.connect('127.0.0.1', port=int(sys.argv[1]))
if sys.argv[2] == 'hold':
    assert q.acquire(Address('queued'))
    print('holding', flush=True)
else:
    print('waiting', flush=True)
    q.acquire(Address('queued'))
sys.stdin.readline()
"""


@pytest.mark.parametrize("killed,holder_fair", [
    ("holder", True),  # queued behind it: reaped once its heartbeat lapsed
    ("first waiter", True),  # the claim handed to it lasts only what was left of its place
    ("first waiter", False),  # a release that hands nothing on: its place expires by itself
])
def test_a_killed_fair_waiter_or_holder_blocks_the_queue_no_longer_than_its_ttl(
        redis_server, redis_client, killed, holder_fair):
    a, queue = Address("queued"), "tarvex-locks:{queued}:queue:queued"
    Short = type("Short", (TrackedQuorvane,), {"heartbeat_ttl": 2.0})
    holder = Short(fair=holder_fair, reap_dead=True)
    holder.connect("127.0.0.1", port=redis_server.port)
    if killed != "holder":
        assert holder.acquire(a)
    with subprocess.Popen([sys.executable, "-c", FAIR, str(redis_server.port),
                           "hold" if killed == "holder" else "wait"],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as victim:
        assert victim.stdout.readline().strip() in ("holding", "waiting")
        deadline = time.monotonic() + 5
        while killed != "holder" and redis_client.zcard(queue) < 1:  # first in line
            assert time.monotonic() < deadline, "the waiter never queued"
            time.sleep(0.01)
        outcome = {}
        behind = threading.Thread(target=lambda: outcome.update(got=holder.acquire(a, timeout_ms=6000)))
        if killed == "holder":
            behind.start()
        victim.kill()
    if killed == "holder":
        behind.join(10)
        assert outcome["got"] is True
    else:
        time.sleep(1.5)  # 0.5 s of its 2 s place left
        holder.release(a)
        other = TrackedQuorvane(fair=True)
        other.connect("127.0.0.1", port=redis_server.port)
        assert other.acquire(a, timeout_ms=1200) is True
        other.release(a)
        other.disconnect()
        holder.acquire(a)
    holder.release(a)
    holder.disconnect()
    deadline = time.monotonic() + 5
    while redis_client.exists("queued", queue, "tarvex-locks:{queued}:waiters:queued"):
        assert time.monotonic() < deadline, "the queue outlived its waiters"
        time.sleep(0.05)


def test_a_fair_waiter_whose_wake_up_is_lost_still_gets_the_lock(redis_server, monkeypatch):
    from tarvex_locks import sync_driver

    class Deaf(dict):
        def get(self, token, default=None):
            return None  # the listener finds no waiter to wake

    monkeypatch.setattr(sync_driver, "wakers", Deaf())
    a = Address("deaf")
    holder, waiter = TrackedQuorvane(fair=True), TrackedQuorvane(fair=True)
    for lock in (holder, waiter):
        lock.connect("127.0.0.1", port=redis_server.port)
    assert holder.acquire(a)
    outcome = {}
    thread = threading.Thread(target=lambda: outcome.update(got=waiter.acquire(a, timeout_ms=5000)))
    thread.start()
    time.sleep(0.3)  # queued, checking every 0.1 s
    holder.release(a)
    thread.join(10)
    assert outcome["got"] is True
    waiter.release(a)
    for lock in (holder, waiter):
        lock.disconnect()
