import importlib
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tarvex_locks.local_servers import EmbeddedRedis  # noqa: E402

QUORVANE = "tarvex_data.lock.implementations.quorvane"
SELLAVAR = "tarvex_data.lock.implementations.sellavar"
SOURCE = "src\\tarvex_data\\lock\\implementations\\{}.py"


class RedisServer(EmbeddedRedis):
    """The tests' server: a failure to start fails the test run, not just one test."""

    def __init__(self, *extra: str, port: int | None = None) -> None:
        try:
            super().__init__(*extra, port=port)
        except RuntimeError as e:
            pytest.fail(str(e))


@pytest.fixture(scope="session")
def redis_server():
    server = RedisServer()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def secured():
    """A server that wants a password ("secret")."""
    server = RedisServer("--requirepass", "secret")
    yield server
    server.stop()


@pytest.fixture
def redis_client(redis_server):
    import redis

    client = redis.Redis(host="127.0.0.1", port=redis_server.port)
    client.flushdb()
    yield client
    client.close()


@pytest.fixture(scope="session")
def qmod():
    return importlib.import_module(QUORVANE)


@pytest.fixture
def connected(qmod, redis_server, redis_client):
    q = qmod.Quorvane()
    q.connect("127.0.0.1", port=redis_server.port)
    yield q
    q.disconnect()


def run_python(code: str, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter of this environment, for start-up and crash cases."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout)


def entries(exc: BaseException) -> list[tuple[str, str, int]]:
    """The (file, function, line) entries of an exception's traceback."""
    import traceback

    return [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]


def module_entries(exc: BaseException, module: str = "quorvane") -> list[tuple[str, int]]:
    src = SOURCE.format(module)
    return [(name, line) for file, name, line in entries(exc) if file == src]


@pytest.fixture(scope="session")
def smod():
    return importlib.import_module(SELLAVAR)


def crowd(lock, address_of, n: int, hold: float = 0.001, **acquire_kwargs) -> tuple[int, int]:
    """Releases n threads together onto one address; returns (most holders at once, done)."""
    import threading
    import time

    start = threading.Barrier(n)
    inside, peak, done = [0], [0], []
    guard = threading.Lock()

    def body(t):
        address = address_of(t)
        start.wait()
        assert lock.acquire(address, timeout_ms=60000, **acquire_kwargs)
        with guard:
            inside[0] += 1
            peak[0] = max(peak[0], inside[0])
        time.sleep(hold)
        with guard:
            inside[0] -= 1
        lock.release(address)
        done.append(t)

    threads = [threading.Thread(target=body, args=(t,)) for t in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    return peak[0], len(done)
