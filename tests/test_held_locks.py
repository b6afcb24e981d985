"""The held-locks tool: what it lists, what it deletes, and how it refuses."""
import json
import subprocess
import sys
import time

import pytest

from fakes import Address
from tarvex_locks import held_locks


def tool(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "tarvex_locks.held_locks", *args],
                          capture_output=True, text=True, timeout=60, input=stdin)


def test_lists_held_locks_with_metadata_and_idle_time(connected, redis_server, redis_client):
    connected.acquire(Address("orders/old"), metadata={"worker": "w1"})
    time.sleep(2.1)
    connected.acquire(Address("orders/new"))
    redis_client.set("orders/raw", "not json")
    redis_client.rpush("orders/list", "x")  # not a string: never a lock
    where = f"127.0.0.1:{redis_server.port}"
    # first: on servers before 7.2 reading a value restarts its idle clock
    old = tool("--redis", where, "list", "orders/*", "--older-than", "2s", "--json")
    assert [lock["key"] for lock in json.loads(old.stdout)] == ["orders/old"]
    out = tool("--redis", where, "list", "orders/*", "--json")
    assert out.returncode == 0, out.stderr
    listed = {lock["key"]: lock for lock in json.loads(out.stdout)}
    assert set(listed) == {"orders/old", "orders/new", "orders/raw"}
    assert listed["orders/old"]["metadata"] == {"worker": "w1"} and listed["orders/new"]["metadata"] is None
    assert listed["orders/raw"]["metadata"] == {"(not JSON)": "not json"}
    assert listed["orders/old"]["node"] == where
    table = tool("--redis", where, "list")
    assert "orders/old" in table.stdout and '"worker": "w1"' in table.stdout


def test_deletes_only_listed_keys_whose_value_is_unchanged(connected, redis_server, redis_client):
    for name in ("a", "b", "c"):
        connected.acquire(Address(f"stuck/{name}"))
    args = held_locks.parse_args(["--redis", f"127.0.0.1:{redis_server.port}", "delete", "stuck/*"])
    servers = held_locks.masters(args)
    listed = held_locks.scan(servers, "stuck/*", None)
    redis_client.set("stuck/b", '{"taken": "again"}')  # released and taken anew meanwhile
    redis_client.set("stuck/new", "")  # and a key that was never listed
    assert held_locks.delete(servers, listed) == (2, 1)
    assert sorted(redis_client.keys("stuck/*")) == [b"stuck/b", b"stuck/new"]


def test_delete_asks_first(redis_server, redis_client, monkeypatch, capsys):
    redis_client.set("ask/1", "")
    where = ["--redis", f"127.0.0.1:{redis_server.port}"]
    monkeypatch.setattr(sys.stdin, "isatty", lambda: True)
    monkeypatch.setattr("builtins.input", lambda prompt: "n")
    assert held_locks.main([*where, "delete", "ask/*"]) == 1 and redis_client.exists("ask/1")
    out = tool(*where, "delete", "ask/*")  # not at a terminal: only --yes will do
    assert out.returncode == 2 and out.stderr.count("\n") == 1 and "--yes" in out.stderr
    done = tool(*where, "delete", "ask/*", "--yes", "--json")
    assert json.loads(done.stdout)["deleted"] == 1 and not redis_client.exists("ask/1")


@pytest.mark.parametrize("args,message", [
    (["--redis", "127.0.0.1:1", "list"], "cannot use the Redis server at 127.0.0.1:1: "),
    (["list", "orders/[a-"], "bad pattern 'orders/[a-': '[' at 7 is never closed"),
    (["list", ""], "bad pattern '': give at least one character"),
    (["list", "x\\"], "bad pattern 'x\\\\': it ends with a lone backslash"),
    (["list", "--older-than", "soon"], "argument --older-than: bad duration 'soon'"),
    (["--redis", "localhost", "list"], "bad server address 'localhost': expected HOST:PORT"),
])
def test_refusals_are_one_line(redis_server, args, message):
    if "--redis" not in args:
        args = ["--redis", f"127.0.0.1:{redis_server.port}", *args]
    started = time.monotonic()
    out = tool(*args)
    assert time.monotonic() - started < 2
    assert out.returncode == 2 and out.stdout == "" and out.stderr.count("\n") == 1
    assert out.stderr.startswith("tarvex-locks: " + message), out.stderr
