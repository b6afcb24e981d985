"""Lock workbench: run critical sections through both lock back-ends and count lost updates.

P worker processes times T threads each run N critical sections over K addresses: acquire,
read-modify-write of a shared counter, release. The same workload also runs without locks, and
its lost updates show what the lock prevents. By default a private redis-server is started on a
free loopback port and stopped at the end; --redis HOST:PORT uses an existing server, --cluster
N a private cluster of N masters (beside a private single server, for comparison), --sentinel a
private primary with one replica and three sentinels. --fair runs the Redis workload once more
with fair locks (waiters served in arrival order, woken at the release) beside the polling ones.
Each run shows how long acquires waited: percentiles, and how many waits fell in each decade.
"""
from __future__ import annotations

import argparse
import json
import math
import multiprocessing
import os
import queue
import random
import signal
import statistics
import sys
import threading
import time
import uuid
from collections.abc import Callable
from typing import Any

from rich.console import Console
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TimeElapsedColumn
from rich.table import Table

from tarvex_locks import metrics
from tarvex_locks.connection import (Failure, OneLineParser, Stopped, add_server_options,
                                     check_reachable, connect_options, run_command, sentence,
                                     split_address)

PROG = "tarvex-lock-workbench"
LAYOUT_TITLES = {"single": "one server", "cluster": "a {masters}-master cluster",
                 "sentinel": "Sentinel (1 primary, 1 replica, 3 sentinels)"}


def make_lock(backend: str, opts: dict[str, Any]) -> Any:
    if backend == "sellavar":
        from tarvex_data.lock.implementations.sellavar import Sellavar

        return Sellavar()
    layout, fair = opts["layout"], opts.get("fair", False)
    if layout == "cluster":
        from tarvex_locks.cluster import QuorvaneCluster
        from tarvex_locks.tracked import TrackedQuorvaneCluster

        lock: Any = TrackedQuorvaneCluster(fair=True) if fair else QuorvaneCluster()
    elif layout == "sentinel":
        from tarvex_locks.sentinel import sentinel_quorvane

        lock = sentinel_quorvane(opts["service"], [tuple(s) for s in opts["sentinels"]],
                                 track_holders=fair, fair=fair)()
    elif fair:
        from tarvex_locks.tracked import TrackedQuorvane

        lock = TrackedQuorvane(fair=True)
    else:
        from tarvex_data.lock.implementations.quorvane import Quorvane

        lock = Quorvane()
    lock.connect(opts["host"], port=opts["port"], **opts["credentials"])
    return lock


def make_store(opts: dict[str, Any]) -> Any:
    """A plain client for the counters, on the same servers as the locks."""
    import redis

    if opts["layout"] == "cluster":
        from redis.cluster import RedisCluster

        return RedisCluster(host=opts["host"], port=opts["port"], **opts["credentials"])
    if opts["layout"] == "sentinel":
        from redis.sentinel import Sentinel

        sentinel = Sentinel([tuple(s) for s in opts["sentinels"]], **opts["credentials"])
        return sentinel.master_for(opts["service"])
    return redis.Redis(host=opts["host"], port=opts["port"], **opts["credentials"])


def worker(backend: str, locked: bool, opts: dict[str, Any], progress: Any, results: Any) -> None:
    """One worker process: T threads, each running N critical sections. The parent alone
    answers Ctrl-C and stops the workers; a worker never prints a traceback of its own."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    from tarvex_utils.models.data_models.address import Address

    addresses = [Address(*parts) for parts in opts["names"]]
    hold = opts["hold_ms"] / 1000.0
    latencies: list[float] = []
    timeouts: list[int] = []
    errors: list[str] = []
    counters = [0] * opts["K"]
    try:
        reader = start_metrics() if opts.get("metrics") else None
        lock = make_lock(backend, opts)
        store = make_store(opts) if backend == "quorvane" else None
    except Exception as e:  # noqa: BLE001 - reported in one line by the parent
        results.put({"error": f"{type(e).__name__}: {e}"})
        return
    run = opts["run_id"]
    # the extension classes measure nothing themselves: their calls are measured here
    measure = reader is not None and locked and not getattr(lock, "measured", False)
    labels = metrics.labels_of(lock)
    outcomes = metrics.outcomes_of(labels)

    def read(k: int) -> int:
        return int(store.get(f"{run}:count:{k}") or 0) if store else counters[k]

    def write(k: int, value: int) -> None:
        if store:
            store.set(f"{run}:count:{k}", value)
        else:
            counters[k] = value

    def thread_body(seed: int) -> None:
        rng = random.Random(seed)
        mine = []
        try:
            for _ in range(opts["N"]):
                k = rng.randrange(opts["K"])
                if locked:
                    start = time.perf_counter()
                    taken = lock.acquire(addresses[k], timeout_ms=opts["timeout_ms"])
                    taken_at = time.perf_counter()
                    mine.append(taken_at - start)
                    if measure:
                        metrics.acquired(outcomes["acquired" if taken else "not_acquired"],
                                         None, taken_at - start)
                    if not taken:
                        timeouts.append(1)
                        continue
                try:
                    value = read(k)
                    time.sleep(hold)  # the window in which an unguarded update gets lost
                    write(k, value + 1)
                finally:
                    if locked:
                        lock.release(addresses[k])
                        if measure:
                            metrics.released(labels, None, time.perf_counter() - taken_at)
                with progress.get_lock():
                    progress.value += 1
        except Exception as e:  # noqa: BLE001 - one line for the run, not a traceback per thread
            errors.append(f"{type(e).__name__}: {e}")
        latencies.extend(mine)

    threads = [threading.Thread(target=thread_body, args=(hash((os.getpid(), t)),))
               for t in range(opts["T"])]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        results.put({"error": errors[0]})
        return
    done = opts["T"] * opts["N"] - len(timeouts)
    results.put({"latencies": latencies, "timeouts": len(timeouts), "done": done,
                 "counted": sum(counters) if backend == "sellavar" else None,
                 "metrics": collected(reader) if reader is not None else {}})


def start_metrics() -> Any:
    """An OpenTelemetry SDK in this worker, read in memory at its end."""
    try:
        from opentelemetry import metrics as otel
        from opentelemetry.sdk.metrics import MeterProvider
        from opentelemetry.sdk.metrics.export import InMemoryMetricReader
    except ImportError as e:
        raise Failure(f"--metrics needs the OpenTelemetry SDK ({e}): pip install"
                      " opentelemetry-sdk") from None
    reader = InMemoryMetricReader()
    otel.set_meter_provider(MeterProvider(metric_readers=[reader]))
    return reader


def collected(reader: Any) -> dict[str, list[float]]:
    """{"instrument outcome": [count, sum]} of what this worker's locks measured."""
    found: dict[str, list[float]] = {}
    data = reader.get_metrics_data()
    for resource in data.resource_metrics if data else []:
        for scope in resource.scope_metrics:
            for metric in scope.metrics:
                for point in metric.data.data_points:
                    name = " ".join([metric.name.removeprefix("tarvex_locks."),
                                     *([point.attributes["outcome"]]
                                       if "outcome" in point.attributes else [])])
                    count = getattr(point, "count", None)
                    pair = [count, point.sum] if count is not None else [point.value, 0.0]
                    found[name] = [a + b for a, b in zip(found.get(name, [0, 0.0]), pair)]
    return found


def start_held_back(procs: list[Any]) -> None:
    """Starts the workers with Ctrl-C held back (a blocked signal, which they inherit): none
    dies of it before it ignores it, and one that came meanwhile reaches this process after."""
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        for p in procs:
            p.start()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def run_one(backend: str, locked: bool, opts: dict[str, Any], progress_bar: Any) -> dict[str, Any]:
    ctx = multiprocessing.get_context("spawn")
    results = ctx.Queue()
    counters = [ctx.Value("q", 0) for _ in range(opts["P"])]
    total = opts["P"] * opts["T"] * opts["N"]
    label = f"{backend:<8} {opts['layout'] if backend == 'quorvane' else '':<8} " \
            f"{run_name(locked, opts.get('fair', False))}"
    task = progress_bar.add_task(label, total=total) if progress_bar else None
    # daemonic: a worker left by an interrupt mid-start is ended at exit, not waited for
    procs = [ctx.Process(target=worker, args=(backend, locked, opts, counters[i], results),
                         daemon=True) for i in range(opts["P"])]
    start = time.perf_counter()
    reports: list[dict[str, Any]] = []
    try:
        start_held_back(procs)
        while len(reports) < len(procs):
            if interrupted:  # its exception fell in a finaliser, which drops it
                raise stopping()
            try:
                report = results.get(timeout=0.1)
            except queue.Empty:
                if any(p.exitcode not in (None, 0) for p in procs):
                    raise Failure(f"a worker of {label.split()[0]} ended unexpectedly") from None
            else:
                if "error" in report:
                    raise Failure(f"{backend} on {opts['where']}: {report['error']}")
                reports.append(report)
            if progress_bar:
                progress_bar.update(task, completed=sum(c.value for c in counters))
    finally:
        for p in procs:
            if p.pid is None:
                continue  # never started
            if p.is_alive() and len(reports) < len(procs):
                p.kill()
            p.join()
    wall = time.perf_counter() - start
    if progress_bar:
        progress_bar.update(task, completed=total)

    done = sum(r["done"] for r in reports)
    if backend == "quorvane":
        store = make_store(opts)
        keys = [f"{opts['run_id']}:count:{k}" for k in range(opts["K"])]
        counted = sum(int(store.get(key) or 0) for key in keys)
        for key in keys:
            store.delete(key)
        store.close()
    else:
        counted = sum(r["counted"] for r in reports)
    latencies: list[float] = sorted(x for r in reports for x in r["latencies"])

    def pct(q: float) -> float | None:
        if not latencies:
            return None
        return latencies[min(len(latencies) - 1, int(q * len(latencies)))] * 1000

    return {
        "backend": backend, "layout": opts["layout"] if backend == "quorvane" else "in-process",
        "locked": locked, "fair": opts.get("fair", False), "sections": done,
        "throughput_per_s": done / wall if wall else 0.0, "wall_s": wall,
        "acquire_p50_ms": pct(0.50), "acquire_p99_ms": pct(0.99),
        "acquire_max_ms": latencies[-1] * 1000 if latencies else None,
        "acquire_mean_ms": statistics.fmean(latencies) * 1000 if latencies else None,
        "waiting_s": sum(latencies), "timeouts": sum(r["timeouts"] for r in reports),
        "lost_updates": done - counted, "waits": decades(latencies),
        "metrics": merged([r.get("metrics", {}) for r in reports]),
    }


def merged(parts: list[dict[str, list[float]]]) -> dict[str, list[float]]:
    total: dict[str, list[float]] = {}
    for part in parts:
        for name, pair in part.items():
            total[name] = [a + b for a, b in zip(total.get(name, [0, 0.0]), pair)]
    return total


def print_metrics(rows: list[dict[str, Any]]) -> None:
    """What OpenTelemetry's instruments collected in each locked run (--metrics)."""
    table = Table(title="Metrics (OpenTelemetry, per run)")
    for column in ("run", "instrument", "count", "mean"):
        table.add_column(column, justify="left" if column in ("run", "instrument") else "right")
    for r in rows:
        for name, (count, total) in sorted(r.get("metrics", {}).items()):
            mean = f"{total / count * 1000:.2f} ms" if "duration" in name and count else "-"
            table.add_row(f"{r['backend']} {r['layout']} {run_name(r['locked'], r['fair'])}",
                          name, f"{count:.0f}", mean)
    Console(width=max(150, Console().width)).print(table)


DECADES = ("<1 ms", "1-10 ms", "10-100 ms", "0.1-1 s", ">=1 s")


def decades(waits: list[float]) -> list[int]:
    """How many waits fell in each of DECADES."""
    counts = [0] * len(DECADES)
    for wait in waits:
        counts[min(len(DECADES) - 1, max(0, math.floor(math.log10(max(wait, 1e-9))) + 4))] += 1
    return counts


def run_name(locked: bool, fair: bool) -> str:
    return ("locked, fair" if fair else "locked") if locked else "no lock"


def print_tables(rows: list[dict[str, Any]], masters: int) -> None:
    console = Console(width=max(150, Console().width))

    def ms(v: float | None) -> str:
        return "-" if v is None else f"{v:.2f}"

    for backend, layout in dict.fromkeys((r["backend"], r["layout"]) for r in rows):
        if backend == "quorvane":
            name = f"Quorvane on {LAYOUT_TITLES[layout].format(masters=masters)}"
        else:
            name = "Sellavar (in-process)"
        table = Table(title=name)
        for col in ("run", "sections", "per s", "acquire p50 ms", "p99 ms", "max ms",
                    "waiting s", "timeouts", "lost", "waits " + " | ".join(DECADES)):
            table.add_column(col, justify="right")
        for r in rows:
            if (r["backend"], r["layout"]) != (backend, layout):
                continue
            lost = str(r["lost_updates"])
            if r["locked"] and r["lost_updates"]:
                lost = f"[bold red]{lost}[/]"
            waits = " | ".join(str(n) for n in r["waits"]) if r["locked"] else "-"
            table.add_row(run_name(r["locked"], r["fair"]), str(r["sections"]),
                          f"{r['throughput_per_s']:.0f}", ms(r["acquire_p50_ms"]),
                          ms(r["acquire_p99_ms"]), ms(r["acquire_max_ms"]),
                          f"{r['waiting_s']:.2f}" if r["locked"] else "-", str(r["timeouts"]),
                          lost, waits)
        console.print(table)


def bounded(convert: Callable[[str], float], least: float,
            expected: str) -> Callable[[str], Any]:
    """An option's type: a finite number of at least `least`, else one line naming it."""
    def parse(text: str) -> Any:
        try:
            value = convert(text)
        except ValueError:
            value = math.nan
        if not math.isfinite(value) or value < least:
            raise argparse.ArgumentTypeError(f"expected {expected}, got {text!r}")
        return value
    return parse


positive = bounded(int, 1, "a whole number of at least 1")
not_negative_ms = bounded(float, 0, "milliseconds, 0 or more")
timeout_ms = bounded(int, 0, "a whole number of milliseconds, 0 or more")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = OneLineParser(prog=PROG, description=sentence(__doc__.split("\n\n")[0].split(": ", 1)[1]),
                      epilog="Exit status: 0 when no update was lost under a lock, 1 when one "
                             "was, 2 for bad options or a server that cannot be used.")
    add_server_options(p, default=None, when_absent="a private redis-server on loopback")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--cluster", type=positive, metavar="N",
                       help="start a private cluster of N masters (3 or more) and run there too")
    where.add_argument("--sentinel", action="store_true",
                       help="start a private primary, replica and three sentinels and run there")
    p.add_argument("-P", "--processes", type=positive, default=2, help="worker processes")
    p.add_argument("-T", "--threads", type=positive, default=4, help="threads per process")
    p.add_argument("-N", "--sections", type=positive, default=200,
                   help="critical sections per thread")
    p.add_argument("-K", "--addresses", type=positive, default=4,
                   help="addresses (resources) the sections spread over")
    p.add_argument("--hold-ms", type=not_negative_ms, default=1.0,
                   help="time inside each section, ms")
    p.add_argument("--timeout-ms", type=timeout_ms, default=30000, help="acquire timeout, ms")
    p.add_argument("--backend", choices=("both", "quorvane", "sellavar"), default="both",
                   help="which back-end to run")
    p.add_argument("--fair", action="store_true",
                   help="also run the Redis workload with fair locks (arrival order, woken at"
                        " the release), beside the polling ones")
    p.add_argument("--metrics", action="store_true",
                   help="collect the locks' OpenTelemetry metrics in each worker (needs"
                        " opentelemetry-sdk) and print them")
    p.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    p.add_argument("--no-progress", action="store_true", help="no live progress bar")
    args = p.parse_args(argv)
    if args.redis and (args.cluster or args.sentinel):
        p.error("--redis names an existing server; --cluster and --sentinel start private ones")
    if args.cluster is not None and args.cluster < 3:
        p.error("a Redis Cluster needs at least 3 masters")
    return args


def spread_names(run: str, k: int, cluster: Any) -> list[tuple[str, ...]]:
    """K resource names; on a cluster, dealt round-robin over its masters."""
    names: list[tuple[str, ...]] = [(run, "quorvane", f"resource-{i}") for i in range(k)]
    if cluster is None:
        return names
    ports = [n.port for n in cluster.nodes]
    chosen: list[tuple[str, ...]] = []
    i = 0
    while len(chosen) < k:
        name = (run, "quorvane", f"resource-{i}")
        if cluster.node_of("/".join(name)).port == ports[len(chosen) % len(ports)]:
            chosen.append(name)
        i += 1
    return chosen


def main_body(argv: list[str] | None) -> int:
    args = parse_args(argv)
    run_id = uuid.uuid4().hex[:8]
    base = {"P": args.processes, "T": args.threads, "N": args.sections, "K": args.addresses,
            "hold_ms": args.hold_ms, "timeout_ms": args.timeout_ms, "run_id": run_id,
            "metrics": args.metrics,
            "credentials": connect_options(args)}
    backends = ["quorvane", "sellavar"] if args.backend == "both" else [args.backend]
    started: list[Any] = []
    targets: list[dict[str, Any]] = []
    rows: list[dict[str, Any]] = []
    progress = None
    try:
        if "quorvane" in backends:
            targets = start_targets(args, base, started)
        else:
            targets = [{**base, "layout": "in-process", "where": "no redis",
                        "names": spread_names(run_id, args.addresses, None)}]
        for t in targets:
            print(f"{t['P']} processes x {t['T']} threads x {t['N']} sections over {t['K']}"
                  f" addresses, hold {t['hold_ms']} ms, timeout {t['timeout_ms']} ms; {t['where']}")
        if not args.no_progress:
            progress = Progress("[progress.description]{task.description}", BarColumn(),
                                MofNCompleteColumn(), TimeElapsedColumn())
            progress.start()
        for backend in backends:
            for t in (targets if backend == "quorvane" else targets[:1]):
                fair = [True] if args.fair and backend == "quorvane" else []
                for locked, t_fair in [(True, False), *((True, f) for f in fair), (False, False)]:
                    rows.append(run_one(backend, locked, {**t, "fair": t_fair}, progress))
    finally:
        if progress:
            progress.stop()
        for server in started:
            server.stop()
    print_tables(rows, args.cluster or 0)
    if args.metrics:
        print_metrics(rows)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"options": {k: v for k, v in base.items() if k != "credentials"},
                       "results": rows}, f, indent=2)
    lost = sum(r["lost_updates"] for r in rows if r["locked"])
    if lost:
        print(f"FAILED: {lost} updates lost under a lock")
        return 1
    print("No update was lost under a lock.")
    return 0


def start_targets(args: argparse.Namespace, base: dict[str, Any],
                  started: list[Any]) -> list[dict[str, Any]]:
    """Where Quorvane runs: the given server, or private ones started here (and in `started`)."""
    from tarvex_locks import local_servers

    names = spread_names(base["run_id"], base["K"], None)
    if args.redis:
        host, port = split_address(args.redis)
        check_reachable(host, port, base["credentials"])
        return [{**base, "layout": "single", "host": host, "port": port, "names": names,
                 "where": f"redis {host}:{port}"}]
    try:
        if args.sentinel:
            topology = local_servers.LocalSentinel()
            started.append(topology)
            return [{**base, "layout": "sentinel", "host": "127.0.0.1",
                     "port": topology.sentinels[0].port, "service": topology.service,
                     "sentinels": topology.sentinel_addresses, "names": names,
                     "where": f"sentinel service {topology.service!r} (private)"}]
        server = local_servers.EmbeddedRedis()
        started.append(server)
        targets = [{**base, "layout": "single", "host": server.host, "port": server.port,
                    "names": names, "where": f"redis {server.host}:{server.port} (private)"}]
        if args.cluster:
            cluster = local_servers.LocalCluster(args.cluster)
            started.append(cluster)
            targets.append({**base, "layout": "cluster", "host": cluster.host,
                            "port": cluster.port,
                            "names": spread_names(base["run_id"], base["K"], cluster),
                            "where": f"{args.cluster}-master cluster from {cluster.host}:"
                                     f"{cluster.port} (private)"})
        return targets
    except local_servers.NoRedisServer as e:
        raise Failure("redis-server is not installed: install it (apt-get install redis-server)"
                      " or give --redis HOST:PORT to use a running server") from e
    except RuntimeError as e:  # a private server that would not start
        raise Failure(str(e)) from e


# Ctrl-C or a stop signal received: remembered, since the exception it raises is lost when it
# lands in a finaliser or weakref callback (Python goes on there)
interrupted: list[int] = []


def interrupt(signum: int, frame: Any) -> None:
    interrupted.append(signum)
    raise stopping()


def stopping() -> BaseException:
    return KeyboardInterrupt() if interrupted[0] == signal.SIGINT else Stopped(interrupted[0])


def unraisable(info: Any) -> None:
    """Keeps a remembered stop that fell in a finaliser from printing a traceback."""
    if not (interrupted and isinstance(info.exc_value, (KeyboardInterrupt, Stopped))):
        sys.__unraisablehook__(info)


def handle_stops() -> None:
    for stop_signal in (signal.SIGTERM, signal.SIGHUP):  # end as Ctrl-C does: clean up first
        signal.signal(stop_signal, interrupt)
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:  # not when ignored
        signal.signal(signal.SIGINT, interrupt)
    sys.unraisablehook = unraisable


def main(argv: list[str] | None = None) -> int:
    handle_stops()
    return run_command(PROG, main_body, argv)


if __name__ == "__main__":
    sys.exit(main())
