"""The workbench run end to end against the test server, small enough to be quick."""
import json
import subprocess
import sys

import pytest


def test_workbench_reports_no_loss_under_locks(redis_server, tmp_path):
    out = tmp_path / "results.json"
    run = subprocess.run(
        [sys.executable, "-m", "tarvex_locks.workbench", "--redis",
         f"127.0.0.1:{redis_server.port}", "-P", "2", "-T", "2", "-N", "15", "-K", "2",
         "--hold-ms", "0.5", "--no-progress", "--json", str(out)],
        capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    results = json.loads(out.read_text())["results"]
    assert [(r["backend"], r["locked"]) for r in results] == [
        ("quorvane", True), ("quorvane", False), ("sellavar", True), ("sellavar", False)]
    for r in results:
        assert r["sections"] == 2 * 2 * 15 and r["timeouts"] == 0
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
    (["--redis", "nohostport"], "workbench: bad server address 'nohostport': expected HOST:PORT"),
    (["-P", "0"], "workbench: argument -P/--processes: expected a whole number of at least 1, "
                  "got '0' (see --help)"),
    (["--redis", "127.0.0.1:1"], "workbench: cannot use the Redis server at 127.0.0.1:1: "),
])
def test_workbench_bad_options_and_dead_server_in_one_line(args, message):
    run = subprocess.run([sys.executable, "-m", "tarvex_locks.workbench", *args],
                         capture_output=True, text=True, timeout=30)
    assert run.returncode == 2 and run.stdout == ""
    assert run.stderr.count("\n") == 1 and run.stderr.startswith(message), run.stderr
