"""Faults on loopback and what Quorvane does through them, measured and printed.

Usage: ./run faults [--runs N] [--only CASE]
1. lost-reply: the server applies a SET NX and its reply is lost, with the client that
   `connect` builds (retries on): what `acquire` returns, after how long, what stays behind;
   plain and tracked.
2. disconnect: `disconnect` from another thread while worker threads share the instance.
3. cluster: a master of three killed while locks are held and waited on, then restarted,
   without and with persistence.
4. sentinel: failovers while a lock is held (replica in sync, replica lagging, lagging with
   WAIT), how often a second holder appears; the cost of WAIT per acquire + release.
5. partition, reap, failover (bench/holder_faults.py): a holder cut off, a holder killed,
   failovers onto a lagging replica (of the locks, and of a holder's heartbeat) with and
   without min_replicas, and what that costs.
6. liveness (bench/liveness_faults.py): a reconnect after the heartbeat lapsed, a stalled server
   beside a healthy one, a fork right after connect, a reaping attempt's lost second write, a
   second event loop, a crowd of asyncio tasks, a failed release, values no lock writes, a
   cluster failover under min_replicas.
"""
import argparse
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from tarvex_locks.local_servers import EmbeddedRedis  # noqa: E402
from tools.proxies import HoldingProxy, ReplyDropper  # noqa: E402


def lock_classes() -> list:
    from tarvex_data.lock.implementations.quorvane import Quorvane
    from tarvex_locks.tracked import TrackedQuorvane

    return [Quorvane, TrackedQuorvane]


def left_behind(admin) -> int:
    """Lock keys in the server (heartbeat keys are not locks)."""
    return sum(1 for k in admin.scan_iter() if not k.startswith(b"tarvex-locks:alive:"))


def dropped_replies(port: int, runs: int, lock_class) -> None:
    import redis
    from tarvex_utils.models.data_models.address import Address

    admin = redis.Redis(port=port)
    admin.flushdb()
    proxy = ReplyDropper(port)
    q = lock_class()
    q.connect("127.0.0.1", port=proxy.port)
    outcomes, seconds, left = {}, [], 0
    for i in range(runs):
        proxy.drop_next_set_replies(1)
        started = time.monotonic()
        try:
            outcome = repr(q.acquire(Address("lost", str(i)), timeout_ms=300))
        except Exception as e:  # noqa: BLE001 - the figure is whatever comes out
            outcome = type(e).__name__
        seconds.append(time.monotonic() - started)
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        if outcome == "True":
            q.release(Address("lost", str(i)))
        left += admin.exists(f"lost/{i}")
    print(f"{lock_class.__name__}: SET NX applied, reply lost, acquire(timeout_ms=300), {runs} runs:")
    print(f"  results {outcomes}; returned after {min(seconds):.2f} to {max(seconds):.2f} s;"
          f" own key left behind (after release, where acquire said True) in {left} of {runs}"
          f" runs")

    proxy.drop_next_set_replies(1)
    before = proxy.sets_seen
    waiter = threading.Thread(target=q.acquire, args=(Address("forever"),), daemon=True)
    waiter.start()
    time.sleep(3)
    print(f"  the same with timeout_ms=-1: still waiting after 3 s: {waiter.is_alive()},"
          f" {proxy.sets_seen - before} SET NX sent")
    admin.delete("forever")  # let the waiter through, so it ends
    waiter.join(5)
    q.disconnect()
    proxy.close()
    admin.close()


def disconnect_races(port: int, runs: int, lock_class, threads: int = 8,
                     sections: int = 300) -> None:
    import redis
    from tarvex_utils.models.data_models.address import Address

    admin = redis.Redis(port=port)
    print(f"\n{lock_class.__name__}: disconnect() from another thread 0.2 s into {threads}"
          f" threads x {sections} acquire/release pairs, each thread on its own address,"
          f" {runs} runs:")
    orphans = []
    for _ in range(runs):
        admin.flushdb()
        q = lock_class()
        q.connect("127.0.0.1", port=port)
        errors, refused = [], [0]

        def work(i: int) -> None:
            a = Address("w", str(i))
            for _ in range(sections):
                try:
                    if q.acquire(a, timeout_ms=200):
                        q.release(a)
                    else:
                        refused[0] += 1
                except Exception as e:  # noqa: BLE001
                    errors.append(e)

        workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for w in workers:
            w.start()
        time.sleep(0.2)
        q.disconnect()
        for w in workers:
            w.join()
        q.disconnect()
        orphans.append(left_behind(admin))
        print(f"  keys left behind {orphans[-1]}, acquires refused afterwards {refused[0]},"
              f" errors raised {len(errors)}")
    print(f"  runs with a key left behind: {sum(1 for n in orphans if n)} of {runs}")
    admin.close()


def cluster_master_killed() -> None:
    import redis
    from tarvex_locks.cluster import QuorvaneCluster
    from tarvex_locks.local_servers import LocalCluster
    from tarvex_utils.models.data_models.address import Address

    print("\nA master of a 3-master cluster (no replicas, node timeout 2 s) killed while it holds"
          " a lock that a thread waits on:")
    for persistence in (False, True):
        with LocalCluster(3, persistence=persistence) as c:
            doomed, kept, _ = c.keys_on_each("held", 1)
            victim, survivor = c.node_of(doomed), c.node_of(kept)
            holder, waiter = QuorvaneCluster(), QuorvaneCluster()
            for q in (holder, waiter):
                q.connect(c.host, port=c.port)
            holder.acquire(Address(doomed))
            holder.acquire(Address(kept))
            outcome: dict = {}

            def wait() -> None:
                try:
                    waiter.acquire(Address(doomed))
                except redis.exceptions.RedisError as e:
                    outcome["error"], outcome["at"] = type(e).__name__, time.monotonic()

            thread = threading.Thread(target=wait)
            thread.start()
            time.sleep(0.35)
            killed = time.monotonic()
            victim.kill()
            thread.join(60)
            with survivor.client() as s:
                while s.cluster("info")["cluster_state"] != "fail":
                    time.sleep(0.05)
            down = time.monotonic() - killed
            started = time.monotonic()
            try:
                holder.release(Address(kept))
                refused = "nothing"
            except redis.exceptions.RedisError as e:
                refused = type(e).__name__
            refused_after = time.monotonic() - started
            alive = holder.is_alive
            victim.start()
            for node in c.nodes:
                c.wait_ok(node)
            back = time.monotonic() - killed
            fresh = QuorvaneCluster()
            fresh.connect(c.host, port=c.port)
            second = fresh.acquire(Address(doomed), timeout_ms=0)
            print(f"  persistence {'on (appendonly, fsync always)' if persistence else 'off'}:"
                  f" waiter got {outcome['error']} {outcome['at'] - killed:.1f} s after the kill;"
                  f" cluster_state fail after {down:.1f} s; release on a surviving master then"
                  f" raised {refused} after {refused_after:.1f} s; is_alive said {alive};"
                  f" cluster ok again {back:.1f} s after the kill; a new acquire of the killed"
                  f" master's lock returned {second}"
                  f" ({'a second holder' if second else 'the lock survived'})")
            for q in (holder, waiter, fresh):
                q.disconnect()


def sentinel_failovers(runs: int) -> None:
    from tarvex_locks.local_servers import LocalSentinel
    from tarvex_locks.sentinel import sentinel_quorvane
    from tarvex_utils.models.data_models.address import Address

    print(f"\nSentinel (1 primary, 1 replica, 3 sentinels, down-after 500 ms): the primary killed"
          f" right after a lock is taken, {runs} runs per case:")
    cases = (("replica in sync", False, 0), ("replica lagging", True, 0),
             ("replica lagging, min_replicas=1", True, 1))
    for label, lag, min_replicas in cases:
        seconds, holders, first_false = [], 0, 0
        for _ in range(runs):
            proxies: list = []

            def through(port: int, _replica: int) -> int:
                proxies.append(HoldingProxy(port))
                return proxies[-1].port

            with LocalSentinel(replicate_through=through if lag else None, down_after_ms=500) as t:
                host, port = t.sentinel_addresses[0]
                first = sentinel_quorvane(t.service, t.sentinel_addresses,
                                          min_replicas=min_replicas, replica_timeout_ms=200)()
                second = sentinel_quorvane(t.service, t.sentinel_addresses)()
                for q in (first, second):
                    q.connect(host, port=port)
                if lag:
                    proxies[0].hold()
                got = first.acquire(Address("x"), timeout_ms=0)
                first_false += not got
                old = t.primary.port
                killed = time.monotonic()
                t.primary.kill()
                for p in proxies:
                    p.close()
                t.wait_failover(old)
                seconds.append(time.monotonic() - killed)
                holders += bool(got and second.acquire(Address("x"), timeout_ms=0))
                for q in (first, second):
                    q.disconnect()
        print(f"  {label}: second holder in {holders} of {runs} runs; the first acquire returned"
              f" False in {first_false}; failover settled {min(seconds):.1f} to"
              f" {max(seconds):.1f} s after the kill")

    with LocalSentinel(down_after_ms=500) as t:
        host, port = t.sentinel_addresses[0]
        plain = sentinel_quorvane(t.service, t.sentinel_addresses)()
        acked = sentinel_quorvane(t.service, t.sentinel_addresses, min_replicas=1)()
        for q in (plain, acked):
            q.connect(host, port=port)
        times: dict = {"min_replicas=0": [], "min_replicas=1": []}
        for _ in range(200):
            for label, q in (("min_replicas=0", plain), ("min_replicas=1", acked)):
                started = time.perf_counter()
                for _ in range(20):
                    q.acquire(Address("cost"))
                    q.release(Address("cost"))
                times[label].append((time.perf_counter() - started) / 20 * 1e6)
        import statistics

        base = statistics.median(times["min_replicas=0"])
        with_wait = statistics.median(times["min_replicas=1"])
        print(f"  acquire + release on loopback, medians of 200 rounds of 20: {base:.0f} us"
              f" without WAIT, {with_wait:.0f} us with min_replicas=1 ({with_wait / base:.2f}x)")
        old = t.primary.port
        t.primary.kill()
        t.wait_failover(old)
        started = time.monotonic()
        got = acked.acquire(Address("after"), timeout_ms=1000)
        print(f"  after a failover that leaves no replica, min_replicas=1 cannot lock:"
              f" acquire(timeout_ms=1000) returned {got} after {time.monotonic() - started:.1f} s"
              f" (each attempt waits out replica_timeout_ms, which the budget does not count)")
        for q in (plain, acked):
            q.disconnect()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--runs", type=int, default=10, help="runs of the lost-reply and disconnect cases; half as many failovers")
    parser.add_argument("--only", choices=("lost-reply", "disconnect", "cluster", "sentinel",
                                           "partition", "reap", "failover", "liveness"),
                        help="run one case only")
    args = parser.parse_args()
    import holder_faults
    import liveness_faults

    with EmbeddedRedis() as server:
        for lock_class in lock_classes():
            if args.only in (None, "lost-reply"):
                dropped_replies(server.port, args.runs, lock_class)
            if args.only in (None, "disconnect"):
                disconnect_races(server.port, args.runs, lock_class)
    if args.only in (None, "cluster"):
        cluster_master_killed()
    if args.only in (None, "sentinel"):
        sentinel_failovers(max(1, args.runs // 2))
    if args.only in (None, "partition"):
        holder_faults.partitions(max(1, args.runs // 3))
    if args.only in (None, "reap"):
        holder_faults.reaped(max(1, args.runs // 3))
    if args.only in (None, "failover"):
        holder_faults.failovers(max(1, args.runs // 2))
        holder_faults.heartbeat_failovers(max(1, args.runs // 2))
        holder_faults.replication_cost()
    if args.only in (None, "liveness"):
        liveness_faults.main(max(1, args.runs // 2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
