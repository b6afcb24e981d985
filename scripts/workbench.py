"""Lock workbench: run critical sections through both lock back-ends and count lost updates.

P worker processes times T threads each run N critical sections over K addresses: acquire,
read-modify-write of a shared counter, release. The same workload also runs without locks, and
its lost updates show what the lock prevents. By default a private redis-server is started on a
free loopback port and stopped at the end; --redis HOST:PORT uses an existing server.
"""
import argparse
import json
import multiprocessing
import os
import queue
import random
import statistics
import sys
import threading
import time
import uuid

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def redis_options(opts: dict) -> dict:
    kwargs = {"port": opts["port"], "username": opts["username"], "password": opts["password"]}
    if opts["tls"]:
        kwargs.update(ssl=True, ssl_ca_certs=opts["tls_ca"], ssl_certfile=opts["tls_cert"],
                      ssl_keyfile=opts["tls_key"])
    return kwargs


def worker(backend: str, locked: bool, opts: dict, progress, results) -> None:
    """One worker process: T threads, each running N critical sections."""
    from tarvex_utils.models.data_models.address import Address

    run = opts["run_id"]
    addresses = [Address(run, backend, f"resource-{k}") for k in range(opts["K"])]
    hold = opts["hold_ms"] / 1000.0
    latencies, timeouts = [], []
    if backend == "quorvane":
        import redis
        from tarvex_data.lock.implementations.quorvane import Quorvane

        lock = Quorvane()
        lock.connect(opts["host"], **redis_options(opts))
        store = redis.Redis(host=opts["host"], **redis_options(opts))

        def read(k):
            return int(store.get(f"{run}:count:{k}") or 0)

        def write(k, value):
            store.set(f"{run}:count:{k}", value)
    else:
        from tarvex_data.lock.implementations.sellavar import Sellavar

        lock = Sellavar()
        counters = [0] * opts["K"]

        def read(k):
            return counters[k]

        def write(k, value):
            counters[k] = value

    def thread_body(seed: int) -> None:
        rng = random.Random(seed)
        mine = []
        for _ in range(opts["N"]):
            k = rng.randrange(opts["K"])
            if locked:
                start = time.perf_counter()
                taken = lock.acquire(addresses[k], timeout_ms=opts["timeout_ms"])
                mine.append(time.perf_counter() - start)
                if not taken:
                    timeouts.append(1)
                    continue
            value = read(k)
            time.sleep(hold)  # the window in which an unguarded update gets lost
            write(k, value + 1)
            if locked:
                lock.release(addresses[k])
            with progress.get_lock():
                progress.value += 1
        latencies.extend(mine)

    threads = [threading.Thread(target=thread_body, args=(hash((os.getpid(), t)),))
               for t in range(opts["T"])]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    done = opts["T"] * opts["N"] - len(timeouts)
    counted = sum(counters) if backend == "sellavar" else None
    results.put({"latencies": latencies, "timeouts": len(timeouts), "done": done,
                 "counted": counted})


def run_one(backend: str, locked: bool, opts: dict, progress_bar) -> dict:
    ctx = multiprocessing.get_context("spawn")
    results = ctx.Queue()
    counters = [ctx.Value("q", 0) for _ in range(opts["P"])]
    total = opts["P"] * opts["T"] * opts["N"]
    label = f"{backend:<8} {'locked' if locked else 'no lock'}"
    task = progress_bar.add_task(label, total=total) if progress_bar else None
    procs = [ctx.Process(target=worker, args=(backend, locked, opts, counters[i], results))
             for i in range(opts["P"])]
    start = time.perf_counter()
    for p in procs:
        p.start()
    reports = []
    while len(reports) < len(procs):
        try:
            reports.append(results.get(timeout=0.1))
        except queue.Empty:
            if any(p.exitcode not in (None, 0) for p in procs):
                for p in procs:
                    p.kill()
                raise RuntimeError(f"a worker of {label} failed")
        if progress_bar:
            progress_bar.update(task, completed=sum(c.value for c in counters))
    wall = time.perf_counter() - start
    for p in procs:
        p.join()
    if progress_bar:
        progress_bar.update(task, completed=total)

    done = sum(r["done"] for r in reports)
    if backend == "quorvane":
        import redis

        store = redis.Redis(host=opts["host"], **redis_options(opts))
        keys = [f"{opts['run_id']}:count:{k}" for k in range(opts["K"])]
        counted = sum(int(v or 0) for v in store.mget(keys))
        store.delete(*keys)
        store.close()
    else:
        counted = sum(r["counted"] for r in reports)
    latencies = sorted(x for r in reports for x in r["latencies"])

    def pct(q: float) -> float | None:
        if not latencies:
            return None
        return latencies[min(len(latencies) - 1, int(q * len(latencies)))] * 1000

    return {
        "backend": backend, "locked": locked, "sections": done,
        "throughput_per_s": done / wall if wall else 0.0, "wall_s": wall,
        "acquire_p50_ms": pct(0.50), "acquire_p99_ms": pct(0.99),
        "acquire_max_ms": latencies[-1] * 1000 if latencies else None,
        "acquire_mean_ms": statistics.fmean(latencies) * 1000 if latencies else None,
        "waiting_s": sum(latencies), "timeouts": sum(r["timeouts"] for r in reports),
        "lost_updates": done - counted,
    }


def print_tables(rows: list[dict]) -> None:
    try:
        from rich.console import Console
        from rich.table import Table
    except ImportError:  # the figures matter more than the frame around them
        for row in rows:
            print(json.dumps(row))
        return
    console = Console(width=max(100, Console().width))

    def ms(v):
        return "-" if v is None else f"{v:.2f}"

    for backend in dict.fromkeys(r["backend"] for r in rows):
        name = "Quorvane (Redis)" if backend == "quorvane" else "Sellavar (in-process)"
        table = Table(title=name)
        for col in ("run", "sections", "per s", "acquire p50 ms", "p99 ms", "max ms",
                    "waiting s", "timeouts", "lost"):
            table.add_column(col, justify="right")
        for r in rows:
            if r["backend"] != backend:
                continue
            lost = str(r["lost_updates"])
            if r["locked"] and r["lost_updates"]:
                lost = f"[bold red]{lost}[/]"
            table.add_row("locked" if r["locked"] else "no lock", str(r["sections"]),
                          f"{r['throughput_per_s']:.0f}", ms(r["acquire_p50_ms"]),
                          ms(r["acquire_p99_ms"]), ms(r["acquire_max_ms"]),
                          f"{r['waiting_s']:.2f}" if r["locked"] else "-", str(r["timeouts"]),
                          lost)
        console.print(table)


def parse_args(argv=None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--redis", metavar="HOST:PORT", help="use this server instead of a private one")
    p.add_argument("--username")
    p.add_argument("--password")
    p.add_argument("--tls", action="store_true", help="connect with TLS")
    p.add_argument("--tls-ca", help="CA certificates file")
    p.add_argument("--tls-cert", help="client certificate file")
    p.add_argument("--tls-key", help="client key file")
    p.add_argument("-P", "--processes", type=int, default=2)
    p.add_argument("-T", "--threads", type=int, default=4)
    p.add_argument("-N", "--sections", type=int, default=200, help="per thread")
    p.add_argument("-K", "--addresses", type=int, default=4)
    p.add_argument("--hold-ms", type=float, default=1.0, help="time inside each section")
    p.add_argument("--timeout-ms", type=int, default=30000, help="acquire timeout")
    p.add_argument("--backend", choices=("both", "quorvane", "sellavar"), default="both")
    p.add_argument("--json", metavar="PATH", help="write the results as JSON")
    p.add_argument("--no-progress", action="store_true", help="no live progress bar")
    args = p.parse_args(argv)
    for name in ("processes", "threads", "sections", "addresses"):
        if getattr(args, name) < 1:
            p.error(f"--{name} must be at least 1")
    if args.redis and ":" not in args.redis:
        p.error("--redis takes HOST:PORT")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    opts = {"P": args.processes, "T": args.threads, "N": args.sections, "K": args.addresses,
            "hold_ms": args.hold_ms, "timeout_ms": args.timeout_ms, "run_id": uuid.uuid4().hex[:8],
            "username": args.username, "password": args.password, "tls": args.tls,
            "tls_ca": args.tls_ca, "tls_cert": args.tls_cert, "tls_key": args.tls_key}
    backends = ["quorvane", "sellavar"] if args.backend == "both" else [args.backend]
    server = None
    if "quorvane" in backends:
        if args.redis:
            host, port = args.redis.rsplit(":", 1)
            opts["host"], opts["port"] = host, int(port)
        else:
            from tools.embedded_redis import EmbeddedRedis

            server = EmbeddedRedis()
            opts["host"], opts["port"] = server.host, server.port
    where = (f"redis {opts['host']}:{opts['port']}" + (" (private)" if server else "")
             if "quorvane" in backends else "no redis")
    print(f"{opts['P']} processes x {opts['T']} threads x {opts['N']} sections over "
          f"{opts['K']} addresses, hold {opts['hold_ms']} ms, timeout {opts['timeout_ms']} ms; "
          f"{where}")
    rows = []
    try:
        progress = None
        if not args.no_progress:
            from rich.progress import BarColumn, MofNCompleteColumn, Progress, TimeElapsedColumn

            progress = Progress("[progress.description]{task.description}", BarColumn(),
                                MofNCompleteColumn(), TimeElapsedColumn())
            progress.start()
        try:
            for backend in backends:
                for locked in (True, False):
                    rows.append(run_one(backend, locked, opts, progress))
        finally:
            if progress:
                progress.stop()
    finally:
        if server:
            server.stop()
    print_tables(rows)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"options": {k: v for k, v in opts.items() if k != "password"},
                       "results": rows}, f, indent=2)
    lost = sum(r["lost_updates"] for r in rows if r["locked"])
    if lost:
        print(f"FAILED: {lost} updates lost under a lock")
        return 1
    print("No update was lost under a lock.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
