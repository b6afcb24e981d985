"""The set-up script's own interface: the command list, and what an unknown command gets."""
import os
import subprocess

import pytest

RUN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "run")
COMMANDS = ["demo", "test", "bench", "faults", "locks", "sanitize", "matrix", "clients", "wheel",
            "help"]


@pytest.mark.parametrize("args,status", [([], 0), (["help"], 0), (["deploy"], 2)])
def test_lists_its_commands(args, status):
    out = subprocess.run([RUN, *args], capture_output=True, text=True, timeout=30)
    listing = out.stdout if status == 0 else out.stderr
    assert out.returncode == status
    assert [line.split()[0] for line in listing.splitlines() if line.startswith("  ")] == COMMANDS
    assert ("unknown command 'deploy'" in out.stderr) == (status == 2)


def test_a_later_call_installs_nothing(tmp_path):
    # a fresh clone set up once: what that set-up left in the tree must not make it set up again
    root = os.path.dirname(RUN)
    subprocess.run(["git", "clone", "-q", root, str(tmp_path / "clone")], check=True, timeout=60)
    run = str(tmp_path / "clone" / "run")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    calls = [subprocess.run([run, "demo", "--help"], capture_output=True, text=True, env=env,
                            timeout=600) for _ in range(3)]
    assert [c.returncode for c in calls] == [0, 0, 0]
    assert "run: building the extensions" in calls[0].stderr
    assert [c.stderr for c in calls[1:]] == ["", ""]
