"""The console scripts: each names what is missing when its extra was not installed."""
from __future__ import annotations

import sys


def _missing(prog: str, error: ImportError, extra: str) -> int:
    print(f"{prog}: {error}; install the extra: pip install 'tarvex-lock-modules[{extra}]'",
          file=sys.stderr)
    return 2


def locks() -> int:
    try:
        from tarvex_locks import held_locks
    except ImportError as e:
        return _missing("tarvex-locks", e, "tools")
    return held_locks.main()


def workbench() -> int:
    try:
        from tarvex_locks import workbench as bench
    except ImportError as e:
        return _missing("tarvex-lock-workbench", e, "tools,demo")
    return bench.main()
