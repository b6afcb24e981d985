import importlib
import shutil
import socket
import subprocess
import sys
import time

import pytest

QUORVANE = "tarvex_data.lock.implementations.quorvane"
SELLAVAR = "tarvex_data.lock.implementations.sellavar"
SOURCE = "src\\tarvex_data\\lock\\implementations\\{}.py"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RedisServer:
    """A private redis-server on loopback with persistence off."""

    def __init__(self, *extra: str) -> None:
        self.port = free_port()
        exe = shutil.which("redis-server")
        if exe is None:
            pytest.fail("redis-server is not installed")
        self.proc = subprocess.Popen(
            [exe, "--bind", "127.0.0.1", "--port", str(self.port), "--save", "",
             "--appendonly", "no", "--daemonize", "no", *extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    return
            except OSError:
                time.sleep(0.02)
        self.stop()
        pytest.fail("redis-server did not start")

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture(scope="session")
def redis_server():
    server = RedisServer()
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
