"""Every Python example of the README runs as written: its host names lead to private servers
(a server and a cluster that want the password "..." the examples give), nothing else changed.
An example that is meant as a fragment starts with the line `# fragment` and is skipped."""
import os
import re
import subprocess
import sys

import pytest

from conftest import RedisServer
from tarvex_locks.local_servers import LocalCluster

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
with open(README) as f:
    BLOCKS = re.findall(r"```python\n(.*?)```", f.read(), re.S)

# Resolves the examples' host names to the private servers; a name no example uses stays
# unknown (the Sentinel example never reaches its sentinels: it only makes its class).
ROUTES = """
import socket
_getaddrinfo = socket.getaddrinfo
def _route(host, port, *args, **kwargs):
    host, port = ROUTES.get((host, int(port or 0)), (host, port))
    return _getaddrinfo(host, port, *args, **kwargs)
socket.getaddrinfo = _route
"""


@pytest.fixture(scope="module")
def servers():
    single = RedisServer("--requirepass", "...")
    with LocalCluster(3, password="...") as cluster:
        yield {("redis.internal", 6379): ("127.0.0.1", single.port),
               ("redis-node-1", 7000): ("127.0.0.1", cluster.port)}
    single.stop()


@pytest.mark.parametrize("number", range(1, len(BLOCKS) + 1))
def test_readme_example_runs_as_written(servers, number):
    block = BLOCKS[number - 1]
    if block.startswith("# fragment"):
        pytest.skip(f"example {number} is a fragment")
    out = subprocess.run([sys.executable, "-c", f"ROUTES = {servers!r}\n" + ROUTES + block],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, f"example {number}:\n{block}\n{out.stderr[-2000:]}"
