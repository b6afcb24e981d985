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
