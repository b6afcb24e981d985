"""Waiting for a held lock: hand-off gaps, fairness under load, the cost of fair mode when
nobody waits, and what a fair lock leaves on the server; printed by bench/run.py.

Every case runs in a subprocess of its own (`python fairness.py KIND ...`, JSON on stdout);
the load case starts several, each with threads, all contending for one address.
"""
import json
import os
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NAMES = {"quorvane": "Quorvane (polling)", "polling": "TrackedQuorvane (polling)",
         "fair": "TrackedQuorvane(fair=True)", "redis-lock": "redis-py Lock",
         "single": "one holder at a time (polling, 1 thread)"}
WAIT_S = 60  # far above any wait seen here, so that a timeout means something went wrong


def make(kind: str, port: int, name: str) -> tuple:
    """(take() -> bool, give(), close()) for one contender of `name` on the server."""
    if kind == "redis-lock":
        import redis

        client = redis.Redis(host="127.0.0.1", port=port)
        lock = client.lock(name, timeout=30, blocking_timeout=WAIT_S)  # its default sleep, 0.1 s
        return lock.acquire, lock.release, client.close
    from tarvex_data.lock.implementations.quorvane import Quorvane
    from tarvex_locks.tracked import TrackedQuorvane
    from tarvex_utils.models.data_models.address import Address

    lock = Quorvane() if kind == "quorvane" else TrackedQuorvane(fair=kind == "fair")
    lock.connect("127.0.0.1", port=port)
    address = Address("bench", name)
    return (lambda: lock.acquire(address, timeout_ms=WAIT_S * 1000),
            lambda: lock.release(address), lock.disconnect)


def handoff(holder: tuple, other: tuple, hold: float) -> float:
    """Milliseconds from the holder's release returning to the waiter's acquire returning; the
    holder keeps the lock `hold` seconds while a thread of the same process waits for it."""
    (take, give, _), (wait_take, wait_give, _) = holder, other
    if not take():
        raise RuntimeError("a free lock was not taken")
    waiting, got = threading.Event(), []

    def waiter() -> None:
        waiting.set()
        ok = wait_take()
        got.append((ok, time.perf_counter()))
        if ok:
            wait_give()

    thread = threading.Thread(target=waiter)
    thread.start()
    waiting.wait()
    time.sleep(hold)
    give()
    released = time.perf_counter()
    thread.join()
    assert got[0][0], "the waiter timed out"
    return (got[0][1] - released) * 1000


def handoffs(port: int, per_round: int, rounds: int) -> dict:
    """`handoff` gaps with a 50 ms hold, per kind of lock."""
    kinds = ["quorvane", "polling", "fair", "redis-lock"]
    pairs = {kind: (make(kind, port, f"handoff-{kind}"), make(kind, port, f"handoff-{kind}"))
             for kind in kinds}
    gaps = {kind: [] for kind in kinds}
    for r in range(rounds):
        for kind in kinds if r % 2 == 0 else kinds[::-1]:  # no case always runs first
            gaps[kind] += [handoff(*pairs[kind], 0.05) for _ in range(per_round)]
    for holder, waiter in pairs.values():
        holder[2](), waiter[2]()
    return {NAMES[kind]: {"p50": statistics.median(g), "max": max(g), "n": len(g)}
            for kind, g in gaps.items()}


def worker(kind: str, port: int, threads: int) -> dict:
    """One contender process: says "ready", reads "START END" (monotonic seconds, the same
    clock in every process), then each thread takes 1 ms sections until END."""
    locks = [make(kind, port, "load-" + ("polling" if kind == "single" else kind))
             for _ in range(threads)]
    print("ready", flush=True)
    start, end = map(float, sys.stdin.readline().split())
    waits, counts = [], {"sections": 0, "timeouts": 0}
    guard = threading.Lock()

    def contend(take, give) -> None:
        mine, sections, timeouts = [], 0, 0
        time.sleep(max(0.0, start - time.monotonic()))
        while time.monotonic() < end:
            t0 = time.perf_counter()
            ok = take()
            waited = time.perf_counter() - t0
            if not ok:
                timeouts += 1
                continue
            mine.append(round(waited * 1000, 4))
            time.sleep(0.001)
            give()
            sections += time.monotonic() <= end  # only sections done inside the window count
        with guard:
            waits.extend(mine)
            counts["sections"] += sections
            counts["timeouts"] += timeouts

    pool = [threading.Thread(target=contend, args=lock[:2]) for lock in locks]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    for lock in locks:
        lock[2]()
    return {"waits_ms": waits, **counts}


def load_round(kind: str, port: int, procs: int, threads: int, seconds: float) -> dict:
    """`procs` worker processes of `threads` threads each, contending for `seconds`."""
    argv = [sys.executable, os.path.join(HERE, "fairness.py"), "worker", kind, str(port),
            str(threads)]
    workers = [subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True) for _ in range(procs)]
    try:
        for w in workers:  # all connected before the clock starts
            if w.stdout.readline().strip() != "ready":
                raise RuntimeError(f"load worker {kind} failed: {w.communicate()[1]}")
        start = time.monotonic() + 0.05
        for w in workers:
            w.stdin.write(f"{start} {start + seconds}\n")
            w.stdin.flush()
        outs = [json.loads(w.communicate(timeout=seconds + WAIT_S + 30)[0]) for w in workers]
    finally:
        for w in workers:
            if w.poll() is None:
                w.kill()
            w.wait()
    return {"waits_ms": [x for o in outs for x in o["waits_ms"]], "seconds": seconds,
            "sections": sum(o["sections"] for o in outs),
            "timeouts": sum(o["timeouts"] for o in outs)}


def load(port: int, seconds: float, rounds: int, procs: int = 4, threads: int = 2) -> dict:
    """Each case for `seconds` in all, in `rounds` interleaved rounds beside the single
    holder; a case's ratio is the median over rounds of its throughput over the single
    holder's in the same round."""
    kinds = ["single", "polling", "fair", "redis-lock"]
    runs = {kind: [] for kind in kinds}
    for r in range(rounds):
        for kind in kinds if r % 2 == 0 else kinds[::-1]:
            shape = (1, 1) if kind == "single" else (procs, threads)
            runs[kind].append(load_round(kind, port, *shape, seconds / rounds))
    out = {}
    for kind, rs in runs.items():
        waits = sorted(x for run in rs for x in run["waits_ms"])
        rates = [run["sections"] / run["seconds"] for run in rs]
        base = [run["sections"] / run["seconds"] for run in runs["single"]]
        out[NAMES[kind]] = {
            "per_second": sum(run["sections"] for run in rs) / seconds,
            "ratio": statistics.median(a / b for a, b in zip(rates, base)),
            "p50_ms": waits[len(waits) // 2], "p99_ms": waits[int(len(waits) * 0.99)],
            "max_ms": waits[-1], "acquires": len(waits), "long": sum(x >= 100 for x in waits),
            "timeouts": sum(run["timeouts"] for run in rs), "waits_ms": waits}
    return out


def bare_scripts(port: int):
    """A fair acquire's and release's scripts sent by redis-py with no class around them: what
    the server's work costs, apart from the client's."""
    import redis
    from tarvex_locks import fair, holders

    client = redis.Redis(host="127.0.0.1", port=port)
    keys = fair.names("bench/alone-scripts")
    for text in (fair.TAKE, fair.RELEASE):
        client.script_load(text)

    def pairs(n):
        for _ in range(n):
            head, token = holders.fair_head(None)
            fence = client.evalsha(fair.SHA[fair.TAKE], 4, *keys[:4], head,
                                   fair.place(token, True, 2000))
            client.evalsha(fair.SHA[fair.RELEASE], 5, *keys, head + b"%d}}" % fence)
    return pairs


def uncontended(port: int, ops: int, rounds: int) -> dict:
    from cases import interleaved

    cases, closers = {}, []
    for kind in ("polling", "fair"):
        take, give, close = make(kind, port, f"alone-{kind}")
        closers.append(close)

        def pairs(n, take=take, give=give):
            for _ in range(n):
                take()
                give()
        cases[NAMES[kind]] = pairs
    cases["the fair scripts alone (redis-py)"] = bare_scripts(port)
    result = interleaved(cases, ops, rounds)
    for close in closers:
        close()
    return result


def leftovers(port: int, count: int) -> dict:
    """Server memory after acquire + release of `count` distinct addresses, per address."""
    import redis
    from tarvex_locks.tracked import TrackedQuorvane
    from tarvex_utils.models.data_models.address import Address

    admin = redis.Redis(host="127.0.0.1", port=port)
    out = {}
    for kind in ("polling", "fair"):
        lock = TrackedQuorvane(fair=kind == "fair")
        lock.connect("127.0.0.1", port=port)
        lock.acquire(Address("bench", "warm", kind))  # script cache and heartbeat key first
        lock.release(Address("bench", "warm", kind))
        memory, keys = admin.info("memory")["used_memory"], admin.dbsize()
        for i in range(count):
            address = Address("mem", kind, str(i))
            lock.acquire(address)
            lock.release(address)
        out[NAMES[kind]] = {"bytes": (admin.info("memory")["used_memory"] - memory) / count,
                            "keys": (admin.dbsize() - keys) / count}
        lock.disconnect()
    key = next(admin.scan_iter(match="tarvex-locks:*:fence:mem/fair/*", count=1000), None)
    out["fence key"] = {"name": key.decode() if key else None,
                        "bytes": admin.memory_usage(key) if key else None}
    admin.close()
    return out


def cluster_handoffs(port: int, per_round: int, rounds: int) -> dict:
    """On a cluster of three masters, fair: `handoff` gaps (5 ms hold) and the messages the
    masters' bus carried per hand-off, with wake-ups sharded in the lock's slot and classic."""
    import redis
    from tarvex_locks import sync_driver
    from tarvex_locks.tracked import TrackedQuorvaneCluster
    from tarvex_utils.models.data_models.address import Address

    admin = redis.cluster.RedisCluster(host="127.0.0.1", port=port)
    masters = [redis.Redis(host=n.host, port=n.port) for n in admin.get_primaries()]

    def bus() -> int:
        return sum(int(info.get(f"cluster_stats_messages_{kind}_sent", 0))
                   for info in (m.cluster("info") for m in masters)
                   for kind in ("publish", "publishshard"))

    locks = [TrackedQuorvaneCluster(fair=True) for _ in range(2)]
    for lock in locks:
        lock.connect("127.0.0.1", port=port)
    address = Address("bench", "cluster-handoff")
    pair = [(lambda lock=lock: lock.acquire(address, timeout_ms=WAIT_S * 1000),
             lambda lock=lock: lock.release(address), lock.disconnect) for lock in locks]
    modes = {"sharded": True, "classic": False}
    gaps, sent = {mode: [] for mode in modes}, {mode: 0 for mode in modes}
    for r in range(rounds):
        for mode in modes if r % 2 == 0 else list(modes)[::-1]:
            sync_driver.SHARDED = modes[mode]
            handoff(*pair, 0.005)  # a first wait in this mode makes the waiter's channel
            before = bus()
            gaps[mode] += [handoff(*pair, 0.005) for _ in range(per_round)]
            sent[mode] += bus() - before
    for lock in locks:
        lock.disconnect()
    admin.close()
    return {mode: {"p50": statistics.median(g), "max": max(g), "n": len(g),
                   "bus_per_handoff": sent[mode] / len(g)} for mode, g in gaps.items()}


def run_case(*args: object) -> dict:
    out = subprocess.run([sys.executable, os.path.join(HERE, "fairness.py"), *map(str, args)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def plot(load_results: dict, path: str) -> str:
    """The CDF of each load case's acquire waits, as a PNG at `path`; what was done, a line."""
    try:
        import matplotlib
    except ImportError:
        return ("picture skipped: matplotlib is not installed"
                " (pip install 'tarvex-lock-modules[plot]', or pip install matplotlib)")
    matplotlib.use("Agg")  # no display needed
    import matplotlib.pyplot as plt

    fig, (cdf, tail) = plt.subplots(2, 1, figsize=(8, 7), sharex=True)
    for name, v in load_results.items():
        waits = [max(x, 1e-3) for x in v["waits_ms"]]  # a log axis has no zero
        n = len(waits)
        cdf.step(waits, [(i + 1) / n for i in range(n)], where="post",
                 label=f"{name} (p99 {v['p99_ms']:.1f} ms, max {v['max_ms']:.0f} ms)")
        tail.step(waits, [(n - i - 1) / n or 0.5 / n for i in range(n)], where="post")
    cdf.set_ylabel("share of acquires waiting\nat most this long")
    tail.set_ylabel("share waiting longer\n(log scale: the tail)")
    tail.set_yscale("log")
    tail.set_xscale("log")
    tail.set_xlabel("acquire wait (ms, log scale)")
    cdf.set_title("Acquire waits, 4 processes x 2 threads, 1 ms sections on one address")
    for ax in (cdf, tail):
        ax.grid(True, which="both", alpha=0.3)
    fig.legend(loc="lower center", fontsize=8, ncol=1)
    fig.tight_layout(rect=(0, 0.1, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return f"picture: {path}"


def bench(quick: bool) -> dict:
    """Every case above on a server of its own; prints the tables and returns the figures."""
    from tarvex_locks.local_servers import EmbeddedRedis, LocalCluster

    hand = (5, 2) if quick else (5, 10)
    seconds, rounds = (1.5, 1) if quick else (5.0, 2)
    ops, op_rounds = (20, 30) if quick else (20, 400)
    count = 1000 if quick else 10_000
    with EmbeddedRedis() as server:
        gaps = run_case("handoff", server.port, *hand)
        print(f"\nHand-off gap: release returning to the waiter's acquire returning, 50 ms hold,"
              f" {hand[0] * hand[1]} hand-offs per case")
        for name, v in gaps.items():
            print(f"  {name:<42} p50 {v['p50']:8.2f} ms   max {v['max']:8.2f} ms")
        loaded = load(server.port, seconds, rounds)
        print(f"\nFairness under load: 4 processes x 2 threads on one address, 1 ms sections,"
              f" {seconds:g} s per case in {rounds} interleaved round(s)")
        print(f"  {'case':<42} {'sections/s':>10} {'ratio':>6} {'wait p50':>9} {'p99':>9}"
              f" {'max':>9} {'acquires':>8} {'>=0.1 s':>7} {'timeouts':>8}")
        for name, v in loaded.items():
            print(f"  {name:<42} {v['per_second']:>10.0f} {v['ratio']:>6.3f}"
                  f" {v['p50_ms']:>6.2f} ms {v['p99_ms']:>6.1f} ms {v['max_ms']:>6.0f} ms"
                  f" {v['acquires']:>8} {v['long']:>7} {v['timeouts']:>8}")
        alone = run_case("uncontended", server.port, ops, op_rounds)
        print("\nUncontended acquire + release, fair mode beside polling (interleaved rounds)")
        for name, v in alone.items():
            print(f"  {name:<42} {v['wall_ns'] / 1000:>9.2f} us  ratio {v['wall_ratio']:.3f}")
        left = run_case("memory", server.port, count)
        print(f"\nServer memory left per address after acquire + release ({count:,} addresses,"
              " INFO used_memory)")
        for name, v in left.items():  # polling leaves nothing: its row is the noise floor
            if name != "fence key":
                print(f"  {name:<42} {v['bytes']:>8.1f} B   keys left {v['keys']:.2f}")
        print(f"  MEMORY USAGE of one leftover key: {left['fence key']['bytes']} B"
              f" ({left['fence key']['name']})")
    with LocalCluster(3) as cluster:
        sharded = run_case("cluster", cluster.port, *hand)
    print(f"\nFair hand-off on a cluster of three masters (5 ms hold, {hand[0] * hand[1]} per"
          " case): wake-ups sharded in the lock's slot, or classic (sent to every master)")
    for name, v in sharded.items():
        print(f"  {name:<42} p50 {v['p50']:8.2f} ms   max {v['max']:8.2f} ms"
              f"   bus messages per hand-off {v['bus_per_handoff']:.2f}")
    print("  " + plot({k: v for k, v in loaded.items() if not k.startswith("one holder")},
                      os.path.join(HERE, "waits.png")))
    for v in loaded.values():
        del v["waits_ms"]  # kept out of the JSON: thousands of numbers
    return {"handoff_ms": gaps, "load": loaded, "uncontended": alone, "memory": left,
            "cluster_handoff_ms": sharded}


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    kind = sys.argv[1]
    if kind == "worker":
        out = worker(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif kind == "handoff":
        out = handoffs(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]))
    elif kind == "cluster":
        out = cluster_handoffs(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]))
    elif kind == "uncontended":
        out = uncontended(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]))
    else:
        out = leftovers(int(sys.argv[2]), int(sys.argv[3]))
    print(json.dumps(out))
