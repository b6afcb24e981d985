"""acquire and release: one set-if-absent key per held lock, polling every 0.1 s."""
import subprocess
import sys
import threading
import time

import pytest
import redis

from conftest import QUORVANE, module_entries
from fakes import Address, FakeClient

ACQ = QUORVANE + ".Quorvane.acquire"
SET = ACQ + "._set_command"
REL = QUORVANE + ".Quorvane.release"


def test_acquire_and_release_on_a_real_server(connected, redis_client):
    a = Address("orders/7")
    assert connected.acquire(a) is True
    assert redis_client.get("orders/7") == b"" and redis_client.ttl("orders/7") == -1
    assert connected.acquire(a, timeout_ms=0) is False
    assert connected.acquire(a, blocking=False) is False
    assert connected.release(a) is None and redis_client.exists("orders/7") == 0
    assert connected.release(a) is None  # releasing a free lock is no error
    assert connected.acquire(a, metadata={"by": "me", "n": [1]}) is True
    assert redis_client.get("orders/7") == b'{"by": "me", "n": [1]}'
    connected.release(a)
    assert connected.acquire(a, metadata={}) is True
    assert redis_client.get("orders/7") == b"{}"


def test_release_deletes_whoever_wrote_the_key(qmod, connected, redis_server, redis_client):
    other = qmod.Quorvane()
    other.connect("127.0.0.1", port=redis_server.port)
    a = Address("shared")
    assert other.acquire(a)
    connected.release(a)
    assert redis_client.exists("shared") == 0
    other.disconnect()


def test_a_waiter_takes_the_lock_after_release(qmod, connected, redis_server):
    a = Address("handover")
    assert connected.acquire(a)
    other = qmod.Quorvane()
    other.connect("127.0.0.1", port=redis_server.port)
    result = []
    waiter = threading.Thread(target=lambda: result.append(other.acquire(a, timeout_ms=3000)))
    waiter.start()
    time.sleep(0.25)
    assert result == []
    connected.release(a)
    waiter.join(5)
    assert result == [True]
    other.release(a)


ATTEMPTS = [(0, 1), (1, 2), (100, 2), (101, 3), (200, 3), (601, 8), (700, 8), (701, 9),
            (799, 9), (800, 10), (899, 10), (1000, 12), (1099, 12), (1100, 13), (1200, 13),
            (4501, 47), (4600, 47), (4601, 48), (4699, 48), (4700, 49), (4799, 49), (10000, 102)]


@pytest.fixture
def held(qmod, monkeypatch):
    """An instance whose every write finds the key taken, with pauses recorded, not slept."""
    pauses = []
    monkeypatch.setattr(qmod, "sleep", lambda s: pauses.append(s))
    q = qmod.Quorvane()
    q.client = FakeClient(set_reply=None)
    return q, pauses


@pytest.mark.parametrize("timeout_ms,attempts", ATTEMPTS)
def test_attempts_follow_the_pause_budget(held, timeout_ms, attempts):
    q, pauses = held
    assert q.acquire(Address(), timeout_ms=timeout_ms) is False
    assert q.client.names() == ["set"] * attempts
    assert pauses == [0.1] * (attempts - 1)
    assert q.client.calls[0] == ("set", ("res/1", ""), {"nx": True})


def test_non_blocking_tries_once_whatever_the_timeout(held):
    q, pauses = held
    assert q.acquire(Address(), blocking=False, timeout_ms=10**400) is False
    assert q.client.names() == ["set"] and pauses == []


def test_blocking_timeout_too_large_for_a_float(held):
    q, pauses = held
    with pytest.raises(OverflowError) as info:
        q.acquire(Address(), timeout_ms=10**400)
    assert q.client.calls == [] and module_entries(info.value) == [(ACQ, 133)]


@pytest.mark.parametrize("reply,expected", [("OK", True), (1, True), (b"", False), (0, False)])
def test_results_are_exact_booleans(qmod, reply, expected):
    q = qmod.Quorvane()
    q.client = FakeClient(set_reply=reply)
    assert q.acquire(Address(), timeout_ms=0) is expected


@pytest.mark.parametrize("client", ["missing", None, 0, []])
@pytest.mark.parametrize("call", ["acquire", "acquire_nb", "release"])
def test_not_connected_guard(qmod, client, call):
    q = qmod.Quorvane()
    if client != "missing":
        q.client = client
    with pytest.raises(qmod.TarvexConnectionError) as info:
        if call == "release":
            q.release(Address())
        else:
            q.acquire(Address(), blocking=call == "acquire")
    assert str(info.value) == "Quorvane is not connected. Call connect() before using this method."
    line = {"release": (REL, 158)}.get(call, (ACQ, 120))
    assert module_entries(info.value) == [line]


def test_connection_error_leaves_a_wait_at_once(qmod, monkeypatch):
    q = qmod.Quorvane()
    q.client = FakeClient(set_reply=False)
    pauses = []

    def pause(s):
        pauses.append(s)
        if len(pauses) == 2:
            q.client.fail["set"] = redis.exceptions.ConnectionError("gone")

    monkeypatch.setattr(qmod, "sleep", pause)
    with pytest.raises(redis.exceptions.ConnectionError) as info:
        q.acquire(Address())
    assert q.client.names() == ["set"] * 3 and len(pauses) == 2
    assert module_entries(info.value) == [(ACQ, 135), (SET, 123)]


class Falsy:
    def __bool__(self):
        raise ValueError("no truth")


@pytest.mark.parametrize("setup,kwargs,expected,sent", [
    # json refuses the metadata: raised by the first attempt, before anything is sent
    (lambda q: None, {"metadata": {"x": object()}}, [(ACQ, 135), (SET, 125)], False),
    (lambda q: None, {"metadata": {"x": object()}, "blocking": False}, [(ACQ, 144), (SET, 125)],
     False),
    (lambda q: setattr(q, "addr_fail", True), {}, [(ACQ, 135), (SET, 124)], False),
    (lambda q: setattr(q.client, "set_reply", Falsy()), {}, [(ACQ, 135), (SET, 129)], True),
    (lambda q: q.client.fail.update(set=KeyError("s")), {}, [(ACQ, 135), (SET, 123)], True),
    (lambda q: None, {"blocking": Falsy()}, [(ACQ, 131)], False),
])
def test_failures_inside_acquire(qmod, setup, kwargs, expected, sent):
    q = qmod.Quorvane()
    q.client = FakeClient()
    setup(q)
    addr = Address(fail=LookupError("addr") if getattr(q, "addr_fail", False) else None)
    with pytest.raises(Exception) as info:
        q.acquire(addr, **kwargs)
    assert module_entries(info.value) == expected
    assert q.client.names() == (["set"] if sent else [])


def test_unserialisable_metadata_writes_nothing(connected, redis_client):
    with pytest.raises(TypeError):
        connected.acquire(Address("never"), metadata={"x": {1, 2}})
    assert redis_client.exists("never") == 0


def test_interrupted_pause_and_guard_lines(qmod, monkeypatch):
    q = qmod.Quorvane()
    q.client = FakeClient(set_reply=False)

    def interrupt(s):
        raise KeyboardInterrupt

    monkeypatch.setattr(qmod, "sleep", interrupt)
    with pytest.raises(KeyboardInterrupt) as info:
        q.acquire(Address())
    assert module_entries(info.value) == [(ACQ, 140)]

    class Broken(qmod.Quorvane):
        @property
        def client(self):
            raise RuntimeError("unreadable")

    for call, line in ((lambda b: b.acquire(Address()), (ACQ, 118)),
                       (lambda b: b.release(Address()), (REL, 156))):
        with pytest.raises(RuntimeError) as info:
            call(Broken())
        assert module_entries(info.value) == [line]
    q.client = FakeClient(fail={"delete": KeyError("d")})
    with pytest.raises(KeyError) as info:
        q.release(Address())
    assert module_entries(info.value) == [(REL, 160)]


WORKER = """
import sys, time, redis
from tarvex_data.lock.implementations.quorvane import Quorvane
from tarvex_utils.models.data_models.address import Address
port, rounds = int(sys.argv[1]), int(sys.argv[2])
q = Quorvane(); q.connect('127.0.0.1', port=port)
r = redis.Redis(port=port)
a = Address('counter')
for _ in range(rounds):
    assert q.acquire(a, timeout_ms=20000)
    if r.incr('occupancy') != 1:
        print('two holders'); sys.exit(1)
    value = int(r.get('count') or 0)
    time.sleep(0.001)
    r.set('count', value + 1)
    r.decr('occupancy')
    q.release(a)
"""


def test_processes_sharing_one_server_exclude_each_other(redis_server, redis_client):
    procs = [subprocess.Popen([sys.executable, "-c", WORKER, str(redis_server.port), "15"],
                              stdout=subprocess.PIPE, text=True) for _ in range(3)]
    outs = [p.communicate(timeout=120)[0] for p in procs]
    assert [p.returncode for p in procs] == [0, 0, 0], outs
    assert int(redis_client.get("count")) == 45 and int(redis_client.get("occupancy")) == 0
