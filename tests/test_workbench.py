"""The workbench run end to end against the test server, small enough to be quick."""
import json
import os
import signal
import subprocess
import sys
import time

import pytest


def test_workbench_reports_no_loss_under_locks(redis_server, tmp_path):
    out = tmp_path / "results.json"
    run = subprocess.run(
        [sys.executable, "-m", "tarvex_locks.workbench", "--redis",
         f"127.0.0.1:{redis_server.port}", "-P", "2", "-T", "2", "-N", "15", "-K", "2",
         "--hold-ms", "0.5", "--no-progress", "--fair", "--metrics", "--json", str(out)],
        capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    results = json.loads(out.read_text())["results"]
    assert [(r["backend"], r["locked"], r["fair"]) for r in results] == [
        ("quorvane", True, False), ("quorvane", True, True), ("quorvane", False, False),
        ("sellavar", True, False), ("sellavar", False, False)]
    for r in results:
        assert r["sections"] == 2 * 2 * 15 and r["timeouts"] == 0
        assert sum(r["waits"]) == (r["sections"] if r["locked"] else 0)
        assert r["metrics"].get("acquires acquired", [0])[0] == (r["sections"] if r["locked"] else 0)
        if r["locked"]:
            assert r["lost_updates"] == 0 and r["acquire_p50_ms"] <= r["acquire_max_ms"]
        else:
            assert 0 <= r["lost_updates"] < r["sections"]
    assert "No update was lost under a lock." in run.stdout


@pytest.mark.parametrize("where,layouts", [
    (["--cluster", "3"], ["single", "cluster"]),  # one run measures both
    (["--sentinel"], ["sentinel"]),
])
def test_workbench_on_private_clusters_and_sentinels(tmp_path, where, layouts):
    out = tmp_path / "results.json"
    run = subprocess.run(
        [sys.executable, "-m", "tarvex_locks.workbench", *where, "--backend", "quorvane", "-P",
         "1", "-T", "2", "-N", "10", "-K", "3", "--hold-ms", "0.5", "--no-progress", "--json",
         str(out)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    results = json.loads(out.read_text())["results"]
    assert [(r["layout"], r["locked"]) for r in results] == [
        (layout, locked) for layout in layouts for locked in (True, False)]
    assert all(r["lost_updates"] == 0 and r["sections"] == 20 for r in results if r["locked"])


@pytest.mark.parametrize("args,message", [
    (["--redis", "nohostport"], "bad server address 'nohostport': expected HOST:PORT"),
    (["-P", "0"], "argument -P/--processes: expected a whole number of at least 1, got '0'"
                  " (see --help)"),
    (["--hold-ms", "-1"], "argument --hold-ms: expected milliseconds, 0 or more, got '-1'"),
    (["--timeout-ms", "-5"], "argument --timeout-ms: expected a whole number of milliseconds,"
                             " 0 or more, got '-5'"),
    (["--redis", "127.0.0.1:1"], "cannot use the Redis server at 127.0.0.1:1: "),
    (["--redis", "127.0.0.1:1", "--tls", "--tls-cert", "/nowhere/c.pem"],
     "cannot read the file of --tls-cert, '/nowhere/c.pem': No such file or directory"),
    (["--redis", "{secured}"], "the server at {secured} requires a password"),
    (["--redis", "{secured}", "--password", "wrong"],
     "the server at {secured} refused the user name or password"),
    ([], "redis-server is not installed: install it (apt-get install redis-server) or give"
         " --redis HOST:PORT"),
])
def test_workbench_bad_options_and_servers_in_one_line(secured, args, message):
    where = f"127.0.0.1:{secured.port}"
    args, message = [a.format(secured=where) for a in args], message.format(secured=where)
    env = None if args else {**os.environ, "PATH": "/nowhere"}  # no redis-server to start
    run = subprocess.run([sys.executable, "-m", "tarvex_locks.workbench", *args],
                         capture_output=True, text=True, timeout=30, env=env)
    assert run.returncode == 2 and run.stdout == ""
    assert run.stderr.count("\n") == 1, run.stderr
    assert run.stderr.startswith("tarvex-lock-workbench: " + message), run.stderr


@pytest.mark.parametrize("stop,status,line,after", [
    (signal.SIGTERM, 143, "stopped by SIGTERM", 1.5),
    (signal.SIGHUP, 129, "stopped by SIGHUP", 1.5),
    (signal.SIGINT, 130, "interrupted", 1.5),  # Ctrl-C: the whole process group gets it
    (signal.SIGINT, 130, "interrupted", 0.0),  # while its workers start
])
def test_a_stopped_workbench_leaves_no_process(stop, status, line, after):
    # Ctrl-C as at a terminal, even when the suite runs where SIGINT is ignored (in the
    # background), which a child inherits
    run = subprocess.Popen([sys.executable, "-m", "tarvex_locks.workbench", "-N", "100000",
                            "--no-progress"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True, start_new_session=True,
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert run.stdout.readline().startswith("2 processes x 4 threads")
    time.sleep(after)  # its private redis-server runs; its workers start, or run
    if stop == signal.SIGINT:
        os.killpg(run.pid, stop)
    else:
        run.send_signal(stop)
    out, err = run.communicate(timeout=60)
    assert (run.returncode, err, "Traceback" in out) == (status, f"tarvex-lock-workbench: {line}\n",
                                                         False)
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # ps hangs under ASan
    deadline = time.monotonic() + 10
    while True:  # a process that has just exited may still show as running for a moment
        left = [p for p in subprocess.run(
            ["ps", "-o", "stat=,args=", "-s", str(run.pid)], capture_output=True, text=True,
            env=plain, timeout=30).stdout.splitlines() if not p.startswith("Z")]
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    assert left == []


def test_a_stop_that_lands_in_a_finaliser_is_kept_without_a_traceback():
    # Python drops an exception raised in a finaliser: the stop must still be acted on
    code = """
import os, signal
from tarvex_locks import workbench
workbench.handle_stops()
class Finalised:
    def __del__(self):
        os.kill(os.getpid(), signal.SIGTERM)
        for _ in range(1000):  # the handler runs here
            pass
Finalised()
print(workbench.interrupted, type(workbench.stopping()).__name__)
"""
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert (run.stdout, run.stderr) == (f"[{int(signal.SIGTERM)}] Stopped\n", "")


def test_a_section_that_fails_releases_its_lock(redis_server, redis_client, monkeypatch):
    import multiprocessing
    import queue

    from tarvex_locks import workbench

    class BrokenStore:
        def get(self, key):
            raise ConnectionError("the counter's server went away")

    monkeypatch.setattr(workbench, "make_store", lambda opts: BrokenStore())
    monkeypatch.setattr(workbench.signal, "signal", lambda *args: None)  # pytest keeps Ctrl-C
    opts = {"names": [("bench", "failing")], "hold_ms": 0, "K": 1, "N": 1, "T": 1,
            "timeout_ms": 1000, "run_id": "r", "layout": "single", "host": "127.0.0.1",
            "port": redis_server.port, "credentials": {}}
    results = queue.Queue()
    workbench.worker("quorvane", True, opts, multiprocessing.Value("q", 0), results)
    assert results.get_nowait() == {"error": "ConnectionError: the counter's server went away"}
    assert redis_client.keys("*") == []
