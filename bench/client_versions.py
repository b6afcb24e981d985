"""What the installed redis-py does to Quorvane when the server is gone or silent.

Run by ./run clients in each redis-py version's venv, which prints one JSON line each; with the
argument `table` it reads such lines and prints them as one table. Cases: a port with
nothing listening (dead), and a listener that accepts and never answers (silent); for the
client that `connect` builds and for a subclass whose `_get_redis_client` bounds the client
(no retries, 1 s socket timeouts). Each call is given at most CAP seconds.
"""
import json
import socket
import sys
import threading
import time

import redis
from redis.backoff import NoBackoff
from redis.retry import Retry

from tarvex_data.lock.implementations.quorvane import Quorvane
from tarvex_utils.models.data_models.address import Address

CAP = 15.0


class BoundedQuorvane(Quorvane):
    """The client settings that bound a failure: no retries, a second to connect or answer."""

    @staticmethod
    def _get_redis_client(host, **options):
        return redis.Redis(host=host, **options, retry=Retry(NoBackoff(), 0),
                           socket_connect_timeout=1.0, socket_timeout=1.0)


def timed(call) -> str:
    """'<seconds> s <outcome>', or 'over CAP s' when the call had not returned by then."""
    out = {}

    def body():
        start = time.monotonic()
        try:
            out["what"] = repr(call())
        except Exception as e:  # noqa: BLE001 - the outcome is the figure
            out["what"] = type(e).__name__
        out["seconds"] = time.monotonic() - start

    t = threading.Thread(target=body, daemon=True)
    t.start()
    t.join(CAP)
    if t.is_alive():
        return f"over {CAP:.0f} s"
    return f"{out['seconds']:.1f} s {out['what']}"


def table() -> int:
    """Reads the JSON lines of several versions and prints one table: a row per case."""
    rows = [json.loads(line) for line in sys.stdin if line.strip()]
    print("| case | " + " | ".join(f"redis-py {r['redis']}" for r in rows) + " |")
    print("| --- |" + " --- |" * len(rows))
    for case in [k for k in rows[0] if k != "redis"]:
        print(f"| {case} | " + " | ".join(r.get(case, "-") for r in rows) + " |")
    return 0


def main() -> int:
    if sys.argv[1:] == ["table"]:
        return table()
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        dead = s.getsockname()[1]  # closed again: nothing listens there
    silent_socket = socket.create_server(("127.0.0.1", 0))  # the kernel accepts, nobody answers
    silent = silent_socket.getsockname()[1]
    result = {"redis": redis.__version__}
    for label, cls in (("default", Quorvane), ("bounded", BoundedQuorvane)):
        for where, port in (("dead", dead), ("silent", silent)):
            q = cls()
            q.connect("127.0.0.1", port=port)
            result[f"{label} {where} is_alive"] = timed(lambda: q.is_alive)
            q = cls()
            q.connect("127.0.0.1", port=port)
            result[f"{label} {where} acquire"] = timed(lambda: q.acquire(Address("x"), timeout_ms=0))
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
