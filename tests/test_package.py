"""What an installed package offers a type checker and introspection."""
import inspect
import os
import subprocess
import sys

import pytest

EXAMPLE = '''
from tarvex_data.lock.implementations.quorvane import Quorvane
from tarvex_data.lock.implementations.sellavar import Sellavar
from tarvex_utils.models.data_models.address import Address
from tarvex_locks.cluster import QuorvaneCluster
from tarvex_locks.sentinel import sentinel_quorvane
from tarvex_locks.tracked import TrackedQuorvane
from tarvex_locks import LockNotHeld, held
from tarvex_locks.aio import AsyncQuorvane


def guarded(lock: Quorvane | Sellavar, address: Address) -> bool:
    if not lock.is_connected:
        return False
    taken: bool = lock.acquire(address, timeout_ms=100, metadata={"who": "example"})
    if taken:
        lock.release(address)
    return taken


q = Quorvane()
q.connect("127.0.0.1", port=6379, ssl=False)
s = Sellavar()
s.connect("anything", at_all=1)
print(guarded(q, Address("a")), guarded(s, Address("b")), q.is_alive, len(s.locks))
q.disconnect()
c = QuorvaneCluster()
c.connect("node-1", port=7000, password="secret", ssl=True, ssl_ca_certs="ca.pem")
Locks = sentinel_quorvane("mymaster", [("s1", 26379), ("s2", 26379)], min_replicas=1)
on_sentinel = Locks()
on_sentinel.connect("s1", port=26379, username="app", password="secret")
print(guarded(c, Address("c")), guarded(on_sentinel, Address("d")), Locks.service_name)
t = TrackedQuorvane(reap_dead=True)
t.connect("127.0.0.1", port=6379)
print(guarded(t, Address("e")), t.lapsed, t.holds(Address("e")))
for lock in (q, s, t):
    try:
        with held(lock, Address("f"), timeout_ms=100, metadata={"who": "example"}):
            pass
    except LockNotHeld as e:
        print(e.address.to_string(), e.timeout_ms)


async def section(a: AsyncQuorvane) -> bool:
    async with a.held(Address("g"), timeout_ms=100):
        return await a.holds(Address("g")) and not a.lapsed
'''


def mypy(tmp_path, source: str) -> subprocess.CompletedProcess:
    path = tmp_path / "example.py"
    path.write_text(source)
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--enable-error-code",
                           "truthy-bool", "--no-incremental", "--cache-dir", os.devnull,
                           str(path)],
                          capture_output=True, text=True, timeout=300)


def test_host_example_passes_mypy_strict(tmp_path):
    out = mypy(tmp_path, EXAMPLE)
    assert out.returncode == 0, out.stdout + out.stderr


@pytest.mark.parametrize("line,complaint", [
    ("Quorvane().acquire(object(), timeout_ms=1)", "Address"),
    ("Sellavar().acquire(Address('a'), timeout_ms='1')", "timeout_ms"),
    ("Quorvane().connect('h', 6379)", "Too many positional arguments"),
    ("async def alive(a: AsyncQuorvane) -> bool:\n    return True if a.is_alive() else False",
     "could always be true in boolean context"),  # a coroutine, not awaited
])
def test_stubs_are_what_mypy_reads(tmp_path, line, complaint):
    header = EXAMPLE.split("\n\n\n")[0]
    out = mypy(tmp_path, header + "\n" + line + "\n")
    assert out.returncode == 1 and complaint in out.stdout, out.stdout


def test_signatures_from_introspection(qmod, smod):
    assert str(inspect.signature(qmod.Quorvane.connect)) == (
        "(self, host: 'str', *, port: 'int' = 6379, username: 'str | None' = None, "
        "password: 'str | None' = None, ssl: 'bool' = False, ssl_certfile: 'str | None' = None, "
        "ssl_keyfile: 'str | None' = None, ssl_ca_certs: 'str | None' = None) -> 'None'")
    assert str(inspect.signature(smod.Sellavar().acquire)) == (
        "(target_address: 'Address', *, timeout_ms: 'int' = -1, blocking: 'bool' = True, "
        "metadata: 'dict[str, Any] | None' = None) -> 'bool'")
    assert str(inspect.signature(smod.Sellavar.connect)) == "(self, *args: 'Any', **kwargs: 'Any') -> 'None'"
