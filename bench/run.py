"""Per-call costs of both lock modules beside their references, printed side by side.

Usage: ./run bench [--quick] [--json PATH]
Every figure is a median of interleaved rounds in one run; the ratios decide. The waiting
cases (bench/fairness.py) also draw bench/waits.png, with matplotlib (the plot extra).
"""
import argparse
import json
import os
import platform
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from tarvex_locks.local_servers import EmbeddedRedis  # noqa: E402

import fairness  # noqa: E402


def run_case(*args: object) -> dict:
    out = subprocess.run([sys.executable, os.path.join(HERE, "cases.py"), *map(str, args)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def machine() -> str:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}"


def table(title: str, rows: dict, unit: str = "us") -> None:
    scale = 1000.0 if unit == "us" else 1.0
    print(f"\n{title}")
    print(f"  {'case':<30} {'wall per pair':>14} {'ratio':>7} {'client CPU':>14} {'ratio':>7}")
    for name, v in rows.items():
        print(f"  {name:<30} {v['wall_ns'] / scale:>11.2f} {unit} {v['wall_ratio']:>7.3f}"
              f" {v['cpu_ns'] / scale:>11.2f} {unit} {v['cpu_ratio']:>7.3f}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, for a smoke run")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    args = parser.parse_args()
    redis_ops, redis_rounds = (20, 30) if args.quick else (20, 1000)
    local_ops, local_rounds = (5000, 20) if args.quick else (5000, 400)

    results = {"machine": machine(), "redis": {}}
    print(f"Machine: {results['machine']}")
    with EmbeddedRedis() as server:
        for parser_name in ("hiredis", "python"):
            rows = run_case("redis", server.port, redis_ops, redis_rounds, parser_name)
            results["redis"][parser_name] = rows
            table(f"Redis on loopback, {parser_name} reply parser", rows)
        rows = run_case("tracked", server.port, redis_ops, redis_rounds // 2)
        results["tracked"] = rows
        table("Holder records on one server (hiredis): plain and tracked Quorvane", rows)
        beat = run_case("heartbeat", server.port, 4 if args.quick else 30)
        results["heartbeat"] = beat
        print(f"  heartbeat of an idle process: {beat['commands']} commands in"
              f" {beat['seconds']:.0f} s = {beat['per_second']:.2f} per second per server"
              f" (TTL {beat['ttl_s']:.0f} s)")
        rows = run_case("async", server.port, redis_ops, redis_rounds // 2)
        results["async"] = rows
        table("asyncio: AsyncQuorvane beside the sync classes (hiredis)", rows)
        stalls = run_case("asyncio", server.port, 5 if args.quick else 20)
        results["asyncio_stall_ms"] = stalls
        print("\nEvent loop stall while a coroutine takes a lock (median over rounds of the"
              " worst lateness of a 5 ms heartbeat)")
        for name, ms in stalls.items():
            print(f"  {name:<74} {ms:8.2f} ms")
    rows = run_case("sellavar", local_ops, local_rounds)
    results["sellavar"] = rows
    table("In-process (acquire + release of a known address)", rows, unit="ns")
    memory = run_case("memory", 100_000)
    results["sellavar_memory"] = memory
    print("\nBytes held per distinct address (tracemalloc, 100,000 addresses)")
    print(f"  Sellavar {memory['Sellavar']:.0f} B; floor (two dict entries, a Lock, the record)"
          f" {memory['floor']:.0f} B; ratio {memory['Sellavar'] / memory['floor']:.3f}")
    results["fairness"] = fairness.bench(args.quick)

    print("\nTargets")
    checks = []
    for parser_name, rows in results["redis"].items():
        q = rows["Quorvane"]["wall_ratio"]
        checks.append((f"Quorvane / raw redis-py ({parser_name})", q, 1.03))
        checks.append((f"Quorvane / redis-py Lock ({parser_name})",
                       q / rows["redis-py Lock"]["wall_ratio"], 0.90))
    checks.append(("TrackedQuorvane / Quorvane", results["tracked"]["TrackedQuorvane"]["wall_ratio"],
                   1.10))
    measured = results["tracked"]["TrackedQuorvane"]["wall_ns"]
    unmeasured = results["tracked"]["TrackedQuorvane, metrics off"]["wall_ns"]
    checks.append(("TrackedQuorvane, metrics (API, no SDK) / off", measured / unmeasured, 1.02))
    checks.append(("AsyncQuorvane / TrackedQuorvane", results["async"]["AsyncQuorvane"]["wall_ratio"],
                   1.30))
    fair_name = fairness.NAMES["fair"]
    alone = results["fairness"]["uncontended"]
    checks.append(("TrackedQuorvane fair=True / polling, uncontended",
                   alone[fair_name]["wall_ratio"], 1.15))
    checks.append(("fair hand-off gap p50 (ms)", results["fairness"]["handoff_ms"][fair_name]["p50"],
                   1.0))
    loaded = results["fairness"]["load"][fair_name]
    checks.append(("fair 4x2 load: throughput / one holder", loaded["ratio"], -0.85))  # at least
    checks.append(("fair 4x2 load: wait p99 (ms)", loaded["p99_ms"], 40.0))
    checks.append(("fair 4x2 load: wait max (ms)", loaded["max_ms"], 200.0))
    for name, ms in results["asyncio_stall_ms"].items():
        if name.endswith("AsyncQuorvane, awaited"):
            checks.append((f"stall, {name.split(',')[0]} (ms)", ms, 1.0))
    local = results["sellavar"]
    checks.append(("Sellavar / plain-Python class",
                   local["Sellavar"]["wall_ratio"] / local["plain-Python class"]["wall_ratio"], 0.75))
    for name, value, target in checks:  # a negative target is a floor: at least its size
        met = value >= -target if target < 0 else value <= target
        print(f"  {name:<48} {value:6.3f}  (target {'>=' if target < 0 else '<='}"
              f" {abs(target):.2f}: {'met' if met else 'MISSED'})")
    results["targets"] = [{"name": n, "value": v, "target": abs(t), "at_least": t < 0}
                          for n, v, t in checks]
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
