"""Injected faults: a server that dies, a holder that dies, a paused server, an interrupt."""
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
from tools.proxies import ReplyDropper

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
import sys, time
from tarvex_data.lock.implementations.quorvane import Quorvane
from tarvex_utils.models.data_models.address import Address
q = Quorvane(); q.connect('127.0.0.1', port=int(sys.argv[1]))
assert q.acquire(Address('orphan'), metadata={'pid': 1})
print('holding', flush=True)
time.sleep(600)
"""


def test_holder_killed_leaves_its_key(qmod, redis_server, redis_client):
    with subprocess.Popen([sys.executable, "-c", HOLDER, str(redis_server.port)],
                          stdout=subprocess.PIPE, text=True) as holder:
        try:
            assert holder.stdout.readline().strip() == "holding"
        finally:
            holder.send_signal(signal.SIGKILL)
            holder.wait(10)
    assert redis_client.get("orphan") == b'{"pid": 1}' and redis_client.ttl("orphan") == -1
    q = qmod.Quorvane()
    q.connect("127.0.0.1", port=redis_server.port)
    assert q.acquire(Address("orphan"), timeout_ms=300) is False
    assert redis_client.get("orphan") == b'{"pid": 1}'


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
import sys, json, traceback
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


@pytest.mark.parametrize("own_factory", [False, True])
def test_lost_reply_to_an_applied_write_leaves_the_key(qmod, redis_server, redis_client,
                                                       own_factory):
    # a client that retries sends SET NX again, finds its own key, and acquire gives up;
    # one that does not raises the lost connection's error; the key stays either way
    proxy = ReplyDropper(redis_server.port)
    q = (type("Q", (NoRetryQuorvane, qmod.Quorvane), {}) if own_factory else qmod.Quorvane)()
    q.connect("127.0.0.1", port=proxy.port)
    proxy.drop_next_set_replies(1)
    try:
        if not own_factory and default_client_retries():
            assert q.acquire(Address("lost"), timeout_ms=300) is False
        else:
            with pytest.raises(redis.exceptions.ConnectionError):
                q.acquire(Address("lost"), timeout_ms=300)
    finally:
        q.disconnect()
        proxy.close()
    assert proxy.dropped == 1 and redis_client.get("lost") == b""
