"""The held-locks tool: what it lists, what it deletes, and how it refuses."""
import json
import subprocess
import sys
import threading
import time

import pytest

from fakes import Address
from tarvex_locks import held_locks
from tarvex_locks.local_servers import LocalCluster, LocalSentinel
from tarvex_data.lock.implementations.quorvane import Quorvane
from tarvex_locks.cluster import QuorvaneCluster
from tarvex_locks.sentinel import sentinel_quorvane
from tarvex_locks.tracked import TrackedQuorvane


@pytest.fixture(scope="module")
def layouts(redis_server):
    with LocalCluster(3) as cluster, LocalSentinel() as sentinel:
        yield {"single": redis_server, "cluster": cluster, "sentinel": sentinel}


def tool(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "tarvex_locks.held_locks", *args],
                          capture_output=True, text=True, timeout=60, input=stdin)


def test_lists_held_locks_with_metadata_and_idle_time(connected, redis_server, redis_client):
    connected.acquire(Address("orders/old"), metadata={"worker": "w1"})
    time.sleep(2.1)
    connected.acquire(Address("orders/new"))
    redis_client.set("orders/raw", "not json")
    foreign = {"orders/infinite": '{"tarvex.holder": {"host": "h", "pid": Infinity, "process":'
                                  ' "p", "token": "t"}}',
               "orders/nan": '{"worker": NaN}', "orders/deep": "[" * 100000 + "]" * 100000}
    for key, value in foreign.items():  # values that no lock class writes
        redis_client.set(key, value)
    redis_client.rpush("orders/list", "x")  # not a string: never a lock
    where = f"127.0.0.1:{redis_server.port}"
    # first: on servers before 7.2 reading a value restarts its idle clock
    old = tool("--redis", where, "list", "orders/*", "--older-than", "2s", "--json")
    assert [lock["key"] for lock in json.loads(old.stdout)] == ["orders/old"]
    out = tool("--redis", where, "list", "orders/*", "--json")
    assert out.returncode == 0, out.stderr
    listed = {lock["key"]: lock for lock in json.loads(out.stdout, parse_constant=strict)}
    assert set(listed) == {"orders/old", "orders/new", "orders/raw", *foreign}
    assert {listed[k]["state"] for k in foreign} == {"unknown"}
    reaper = TrackedQuorvane(reap_dead=True)
    reaper.connect("127.0.0.1", port=redis_server.port)
    assert not any(reaper.acquire(Address(k), timeout_ms=0) for k in foreign)
    reaper.disconnect()
    assert listed["orders/old"]["metadata"] == {"worker": "w1"} and listed["orders/new"]["metadata"] is None
    assert listed["orders/raw"]["metadata"] == {"(not JSON)": "not json"}
    assert listed["orders/old"]["node"] == where
    table = tool("--redis", where, "list")
    assert "orders/old" in table.stdout and '"worker": "w1"' in table.stdout
    deleted = tool("--redis", where, "delete", "orders/*", "--dead", "--force", "--yes")
    assert deleted.returncode == 0 and redis_client.keys("orders/*") == [b"orders/list"]


def strict(constant):
    raise ValueError(f"{constant} is not JSON")


def test_a_lock_taken_again_after_the_listing_is_kept(redis_server, redis_client):
    lock = TrackedQuorvane()
    lock.connect("127.0.0.1", port=redis_server.port)
    for name in ("a", "b", "c"):
        lock.acquire(Address(f"stuck/{name}"), metadata={"w": 1})
    args = held_locks.parse_args(["--redis", f"127.0.0.1:{redis_server.port}", "delete",
                                  "stuck/*", "--force"])
    found_on = held_locks.servers(args)
    listed = held_locks.scan(found_on, "stuck/*", None)
    lock.release(Address("stuck/b"))  # released and taken anew meanwhile, with the same metadata
    lock.acquire(Address("stuck/b"), metadata={"w": 1})
    redis_client.set("stuck/new", "")  # and a key that was never listed
    assert held_locks.delete(found_on, listed) == (2, 1)
    found_on.close()
    assert sorted(redis_client.keys("stuck/*")) == [b"stuck/b", b"stuck/new"]
    assert lock.holds(Address("stuck/b"))
    lock.disconnect()


def test_delete_asks_first(redis_server, redis_client, monkeypatch, capsys):
    redis_client.set("ask/1", "")
    where = ["--redis", f"127.0.0.1:{redis_server.port}"]
    monkeypatch.setattr(sys.stdin, "isatty", lambda: True)
    monkeypatch.setattr("builtins.input", lambda prompt: "n")
    assert held_locks.main([*where, "delete", "ask/*", "--force"]) == 1
    assert redis_client.exists("ask/1")
    out = tool(*where, "delete", "ask/*", "--force")  # not at a terminal: only --yes will do
    assert out.returncode == 2 and out.stderr.count("\n") == 1 and "--yes" in out.stderr
    done = tool(*where, "delete", "ask/*", "--force", "--yes", "--json")
    assert json.loads(done.stdout)["deleted"] == 1 and not redis_client.exists("ask/1")


@pytest.mark.parametrize("args,message", [
    (["--redis", "127.0.0.1:1", "list"], "cannot use the Redis server at 127.0.0.1:1: "),
    (["delete", "x"], "say which keys: --dead (only keys whose holder is dead) or --force"),
    (["--cluster", "list"], "{where} is not a cluster node (cluster support is off)"),
    (["--redis", "{sentinel}", "list"], "{sentinel} is a sentinel, which holds no locks: give"
                                        " --sentinel SERVICE"),
    (["--redis", "{sentinel}", "--sentinel", "nope", "list"], "the sentinel at {sentinel} knows"
                                                              " no primary named 'nope'"),
    (["--redis", "{secured}", "list"], "the server at {secured} requires a password"),
    (["--redis", "{secured}", "--password", "wrong", "list"],
     "the server at {secured} refused the user name or password"),
    (["list", "orders/[a-"], "bad pattern 'orders/[a-': '[' at 7 is never closed"),
    (["list", ""], "bad pattern '': give at least one character"),
    (["list", "x\\"], "bad pattern 'x\\\\': it ends with a lone backslash"),
    (["list", "--older-than", "soon"], "argument --older-than: bad duration 'soon'"),
    (["--redis", "localhost", "list"], "bad server address 'localhost': expected HOST:PORT"),
    (["--tls", "--tls-ca", "/nowhere/ca.pem", "list"],
     "cannot read the file of --tls-ca, '/nowhere/ca.pem': No such file or directory"),
])
def test_refusals_are_one_line(redis_server, layouts, secured, args, message):
    names = {"where": f"127.0.0.1:{redis_server.port}", "secured": f"127.0.0.1:{secured.port}",
             "sentinel": "127.0.0.1:%d" % layouts["sentinel"].sentinels[0].port}
    args, message = [a.format(**names) for a in args], message.format(**names)
    if "--redis" not in args:
        args = ["--redis", names["where"], *args]
    started = time.monotonic()
    out = tool(*args)
    assert time.monotonic() - started < 2
    assert out.returncode == 2 and out.stdout == "" and out.stderr.count("\n") == 1
    assert out.stderr.startswith("tarvex-locks: " + message), out.stderr


HOLDERS = """
import json, sys, time
from tarvex_utils.models.data_models.address import Address
layout, port, service, sentinels, keys = sys.argv[1:6]
if layout == 'cluster':
    from tarvex_locks.tracked import TrackedQuorvaneCluster as Lock
elif layout == 'sentinel':
    from tarvex_locks.sentinel import sentinel_quorvane
    Lock = sentinel_quorvane(service, [tuple(s) for s in json.loads(sentinels)],
                             track_holders=True)
else:
    from tarvex_locks.tracked import TrackedQuorvane as Lock
Lock.heartbeat_ttl = float(sys.argv[6])
lock = Lock()
lock.connect('127.0.0.1', port=int(port))
assert all(lock.acquire(Address(key)) for key in keys.split(','))
print('holding', flush=True)
time.sleep(600)
"""


def plain_lock(layout, topology):
    if layout == "cluster":
        return QuorvaneCluster()
    if layout == "sentinel":
        return sentinel_quorvane(topology.service, topology.sentinel_addresses)()
    return Quorvane()


@pytest.mark.parametrize("layout", ["single", "cluster", "sentinel"])
def test_delete_dead_deletes_exactly_the_dead_holders_locks(layouts, layout):
    # dead holder idle, dead holder waited on, live holder idle, live holder waited on
    topology = layouts[layout]
    port, service, sentinels, where = getattr(topology, "port", 0), "", "[]", []
    if layout == "sentinel":
        port, service = topology.sentinels[0].port, topology.service
        sentinels = json.dumps(topology.sentinel_addresses)
        where = ["--sentinel", service]
    where = ["--redis", f"127.0.0.1:{port}", *(["--cluster"] if layout == "cluster" else where)]

    def holders(keys, ttl):
        return subprocess.Popen([sys.executable, "-c", HOLDERS, layout, str(port), service,
                                 sentinels, ",".join(keys), str(ttl)],
                                stdout=subprocess.PIPE, text=True)

    dead, live = holders(["four/dead-idle", "four/dead-waited"], 1.0), \
        holders(["four/live-idle", "four/live-waited"], 10.0)
    try:
        assert [p.stdout.readline().strip() for p in (dead, live)] == ["holding"] * 2
        dead.kill()
        dead.wait(10)
        waited = {}

        def wait(key):
            lock = plain_lock(layout, topology)
            lock.connect("127.0.0.1", port=port)
            waited[key] = lock.acquire(Address(key), timeout_ms=6000)
            if waited[key]:
                lock.release(Address(key))
            lock.disconnect()

        waiters = [threading.Thread(target=wait, args=(f"four/{k}-waited",))
                   for k in ("dead", "live")]
        for w in waiters:
            w.start()
        time.sleep(1.5)  # the dead holder's heartbeat lapses
        out = tool(*where, "delete", "four/*", "--dead", "--yes", "--json")
        assert out.returncode == 0, out.stderr
        result = json.loads(out.stdout)
        states = {row["key"]: row["state"] for row in result["listed"]}
        assert states == {"four/dead-idle": "dead", "four/dead-waited": "dead",
                          "four/live-idle": "alive", "four/live-waited": "alive"}
        assert result["deleted"] == 2
        for w in waiters:
            w.join(30)
        assert waited == {"four/dead-waited": True, "four/live-waited": False}
        left = json.loads(tool(*where, "list", "four/*", "--json").stdout)
        assert sorted(row["key"] for row in left) == ["four/live-idle", "four/live-waited"]
    finally:
        for p in (dead, live):
            p.kill()
            p.wait(10)
            p.stdout.close()


def test_watch_shows_holders_and_waiters_live_and_ends_at_ctrl_c(redis_server, redis_client):
    import os
    import pty
    import signal

    a = Address("watched/1")
    holder, waiter = TrackedQuorvane(fair=True), TrackedQuorvane(fair=True)
    for lock in (holder, waiter):
        lock.connect("127.0.0.1", port=redis_server.port)
    assert holder.acquire(a)
    queued = threading.Thread(target=lambda: waiter.acquire(a, timeout_ms=20000))
    queued.start()
    pid, terminal = pty.fork()
    if pid == 0:  # a terminal's Ctrl-C, whatever the suite runs under
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.execv(sys.executable, [sys.executable, "-m", "tarvex_locks.held_locks", "--redis",
                                  f"127.0.0.1:{redis_server.port}", "watch", "watched/*",
                                  "--every", "0.2"])
    seen, deadline = b"", time.monotonic() + 30
    while seen.count(b"watched/1") < 2:  # the table, then the table again
        assert time.monotonic() < deadline, seen.decode(errors="replace")
        try:
            seen += os.read(terminal, 65536)
        except OSError:
            break
    os.write(terminal, b"\x03")  # Ctrl-C
    while True:
        try:
            if not os.read(terminal, 65536):
                break
        except OSError:
            break
    status = os.waitpid(pid, 0)[1]
    os.close(terminal)
    holder.release(a)
    queued.join(10)
    waiter.release(a)
    for lock in (holder, waiter):
        lock.disconnect()
    assert os.waitstatus_to_exitcode(status) == 0 and b"Traceback" not in seen
    row = next(line for line in seen.decode(errors="replace").splitlines() if "watched/1" in line)
    assert "alive" in row and f"pid {os.getpid()}" in row and " 1 " in row  # one fair waiter
