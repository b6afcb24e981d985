"""The workbench run end to end against the test server, small enough to be quick."""
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_workbench_reports_no_loss_under_locks(redis_server, tmp_path):
    out = tmp_path / "results.json"
    run = subprocess.run(
        [sys.executable, os.path.join(ROOT, "scripts", "workbench.py"), "--redis",
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


def test_workbench_refuses_bad_options():
    run = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "workbench.py"),
                          "--redis", "nohostport", "-P", "1"], capture_output=True, text=True)
    assert run.returncode == 2 and "HOST:PORT" in run.stderr
