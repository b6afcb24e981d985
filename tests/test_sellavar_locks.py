"""Sellavar's lock table: per-address threading.Lock and LockObject, made at first acquire."""
import random
import threading
import time

import pytest

from conftest import SELLAVAR, crowd, module_entries

ACQ = SELLAVAR + ".Sellavar.acquire"
REL = SELLAVAR + ".Sellavar.release"


class RecordingLock:
    """Stands in for threading.Lock to show the exact calls the module makes."""

    made = []

    def __init__(self):
        self.calls = []
        RecordingLock.made.append(self)

    def acquire(self, *args, **kwargs):
        self.calls.append(("acquire", args, kwargs))
        return True

    def release(self, *args):
        self.calls.append(("release", args, {}))


@pytest.fixture
def recording(smod, monkeypatch):
    RecordingLock.made = []
    monkeypatch.setattr(smod, "Lock", RecordingLock)
    return smod.Sellavar()


def s_entries(exc):
    return module_entries(exc, "sellavar")


def test_new_instance_and_connection_members(smod):
    s = smod.Sellavar()
    assert s.locks == {} and s.lock_data == {} and list(vars(s)) == ["locks", "lock_data"]
    assert s.is_connected is True and s.is_alive is True
    assert s.connect(1, "x", host="h", port=2) is None and s.disconnect() is None
    assert s.is_connected is True and s.is_alive is True and s.locks == {}


def test_first_acquire_makes_lock_and_record(smod):
    s = smod.Sellavar()
    assert s.acquire("a") is True
    lock, record = s.locks["a"], s.lock_data["a"]
    assert type(lock) is type(threading.Lock()) and lock.locked()
    assert record.expires_at == -1 and record.data == {}
    assert s.acquire("a", blocking=False, metadata={"x": 1}, timeout_ms=5) is False
    assert s.lock_data["a"] is record and record.data == {}
    s.release("a")
    assert s.locks["a"] is lock and not lock.locked()
    assert s.acquire("a", timeout_ms=0) is True and s.locks["a"] is lock
    assert s.lock_data["a"] is record and len(s.locks) == len(s.lock_data) == 1


def test_expiry_and_data_of_the_record(smod):
    s = smod.Sellavar()
    meta = {"owner": "me"}
    before = round(time.time() * 1000)
    s.acquire("t", timeout_ms=500, metadata=meta)
    after = round(time.time() * 1000)
    record = s.lock_data["t"]
    assert before + 500 <= record.expires_at <= after + 500 and type(record.expires_at) is int
    assert record.data is meta
    empty = {}
    s.acquire("e", metadata=empty, timeout_ms=-5)
    assert s.lock_data["e"].data == {} and s.lock_data["e"].data is not empty
    assert s.lock_data["e"].expires_at == -1


def test_rebound_clock_and_round(smod, monkeypatch):
    monkeypatch.setattr(smod, "time", lambda: 1.0005)  # 1000.5 ms rounds half to even
    s = smod.Sellavar()
    s.acquire("r", timeout_ms=7)
    assert s.lock_data["r"].expires_at == 1007


@pytest.mark.parametrize("kwargs,expected", [
    ({}, ("acquire", (), {"timeout": -1})),
    ({"timeout_ms": -5}, ("acquire", (), {"timeout": -1})),
    ({"timeout_ms": 500}, ("acquire", (), {"timeout": 0.5})),
    ({"timeout_ms": 0}, ("acquire", (), {"timeout": 0.0})),
    ({"blocking": False, "timeout_ms": 500}, ("acquire", (), {"blocking": False})),
    ({"blocking": 0}, ("acquire", (), {"blocking": False})),
])
def test_calls_on_the_key_lock(recording, kwargs, expected):
    assert recording.acquire("k", **kwargs) is True
    (lock,) = RecordingLock.made
    assert lock.calls == [expected]
    timeout = lock.calls[0][2].get("timeout")
    assert timeout is None or type(timeout) is (float if kwargs.get("timeout_ms", -1) >= 0 else int)
    recording.release("k")
    assert lock.calls[-1] == ("release", (), {})


@pytest.mark.parametrize("value,name", [(True, "bool"), (1.5, "float"), (None, "NoneType")])
def test_bad_timeout_creates_nothing(smod, value, name):
    s = smod.Sellavar()
    with pytest.raises(TypeError) as info:
        s.acquire("a", timeout_ms=value)
    assert str(info.value) == f"Argument 'timeout_ms' has incorrect type (expected int, got {name})"
    assert s.locks == {} and s_entries(info.value) == []


def test_unhashable_address_creates_nothing(smod):
    s = smod.Sellavar()
    with pytest.raises(TypeError, match="unhashable type: 'list'") as info:
        s.acquire(["x"])
    assert s_entries(info.value) == [(ACQ, 53)] and s.locks == {} and s.lock_data == {}


def test_release_rules(smod):
    s = smod.Sellavar()
    assert s.release("never") is None and s.locks == {}
    s.acquire("a")
    s.release("a")
    with pytest.raises(RuntimeError) as info:
        s.release("a")
    assert s_entries(info.value) == [(REL, 83)] and "a" in s.locks and "a" in s.lock_data


def test_release_from_another_thread_and_instances_apart(smod):
    s, other = smod.Sellavar(), smod.Sellavar()
    assert s.acquire("a")
    assert other.acquire("a", blocking=False) is True  # tables are per instance
    t = threading.Thread(target=s.release, args=("a",))
    t.start()
    t.join()
    assert s.acquire("a", blocking=False) is True


def test_no_rollback_when_the_record_fails(smod, monkeypatch):
    def refuse(**kw):
        raise ValueError("invalid record")

    monkeypatch.setattr(smod, "LockObject", refuse)
    s = smod.Sellavar()
    with pytest.raises(ValueError) as info:
        s.acquire("a")
    assert s_entries(info.value) == [(ACQ, 55)]
    assert "a" in s.locks and s.lock_data == {} and not s.locks["a"].locked()
    assert s.acquire("a") is True and s.lock_data == {}


class Boom:
    def __bool__(self):
        raise ArithmeticError("truth")


@pytest.mark.parametrize("patch,kwargs,line", [
    ({"Lock": lambda: 1 / 0}, {}, 54),
    ({"time": lambda: 1 / 0}, {"timeout_ms": 5}, 56),
    ({}, {"metadata": Boom()}, 57),
    ({}, {"blocking": Boom()}, 62),
    ({"Lock": lambda: object()}, {}, 63),
    ({"Lock": lambda: object()}, {"blocking": False}, 65),
])
def test_failure_lines_of_acquire(smod, monkeypatch, patch, kwargs, line):
    for name, value in patch.items():
        monkeypatch.setattr(smod, name, value)
    with pytest.raises(Exception) as info:
        smod.Sellavar().acquire("a", **kwargs)
    assert s_entries(info.value) == [(ACQ, line)]


class Mapping(dict):
    """A table that claims every key but cannot fetch it."""

    def __contains__(self, key):
        return True

    def __getitem__(self, key):
        raise LookupError(key)


def test_other_mappings_follow_the_generic_steps(smod):
    s = smod.Sellavar()
    s.locks = Mapping()
    for call, entry in ((s.acquire, (ACQ, 60)), (s.release, (REL, 82))):
        with pytest.raises(LookupError) as info:
            call("a")
        assert s_entries(info.value) == [entry]
    s.locks = 5
    with pytest.raises(TypeError, match="is not iterable|not a container") as info:
        s.release("a")
    assert s_entries(info.value) == [(REL, 81)]


def test_init_lines(smod):
    class Frozen(smod.Sellavar):
        def __setattr__(self, name, value):
            if name == self.refuse:
                raise AttributeError(name)
            super().__setattr__(name, value)

    for refuse, line in (("locks", 29), ("lock_data", 30)):
        Frozen.refuse = refuse
        with pytest.raises(AttributeError) as info:
            Frozen()
        assert s_entries(info.value) == [(SELLAVAR + ".Sellavar.__init__", line)]


class SlowAddress:
    """Hash and equality that let other threads in for a random short time."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        time.sleep(random.uniform(0, 0.002))
        return hash(self.name)

    def __eq__(self, other):
        time.sleep(random.uniform(0, 0.002))
        return isinstance(other, SlowAddress) and other.name == self.name


def test_threads_racing_on_a_new_address_share_one_lock(smod, monkeypatch):
    built = []
    real = smod.LockObject
    monkeypatch.setattr(smod, "LockObject", lambda **kw: built.append(1) or real(**kw))
    for round_ in range(5):
        built.clear()
        s = smod.Sellavar()
        # equal but distinct address objects, one per thread
        assert crowd(s, lambda t: SlowAddress(f"new-{round_}"), 16) == (1, 16)
        assert len(s.locks) == 1 and len(s.lock_data) == 1 and built == [1]


def test_star_parameters_bind_like_python(smod):
    S = smod.Sellavar
    s = S()
    assert S.connect(self=s, anything=1) is None
    with pytest.raises(TypeError, match=r"^connect\(\) takes at least 1 positional argument \(0 given\)$"):
        S.connect()
    with pytest.raises(TypeError, match="^connect\\(\\) got multiple values for keyword argument 'self'$"):
        s.connect(self=1)
    with pytest.raises(TypeError, match=r"^acquire\(\) takes exactly 2 positional arguments \(3 given\)$") as info:
        s.acquire("a", 100)
    assert s_entries(info.value) == [(ACQ, 32)] and s.locks == {}
    for name, n in (("__init__", 1), ("disconnect", 1), ("release", 2)):
        word = "argument" if n == 1 else "arguments"
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly {n} positional {word} \(0 given\)$"):
            getattr(S, name)()
    with pytest.raises(TypeError, match=r"^is_connected\(\) takes exactly 1 positional argument \(2 given\)$"):
        S.__dict__["is_connected"].fget(s, 1)


def test_real_lock_timeouts(smod):
    s = smod.Sellavar()
    assert s.acquire("held") is True
    assert s.acquire("held", timeout_ms=30) is False
    assert s.acquire("held", timeout_ms=0) is False
    assert s.acquire("held", blocking=False) is False
    got = []
    t = threading.Thread(target=lambda: got.append(s.acquire("held", timeout_ms=5000)))
    t.start()
    time.sleep(0.05)
    s.release("held")
    t.join(10)
    assert got == [True]


class CountingAddress(str):
    """Counts the hashes that the lock table asks of it."""

    hashes = 0

    def __hash__(self):
        CountingAddress.hashes += 1
        return str.__hash__(self)


def test_each_step_reads_the_table_again(smod, monkeypatch):
    s = smod.Sellavar()
    counts = []
    for call in (s.acquire, s.release, s.acquire):
        CountingAddress.hashes = 0
        call(CountingAddress("a"))
        counts.append(CountingAddress.hashes)
    assert counts == [4, 2, 2]  # test, store, record, fetch; then test and fetch
    s.release("a")

    def replace_table(**kw):  # the record's constructor swaps the table before the fetch
        s.locks = {}
        return kw

    monkeypatch.setattr(smod, "LockObject", replace_table)
    with pytest.raises(KeyError) as info:
        s.acquire("new")
    assert s_entries(info.value) == [(ACQ, 60)]
