"""Faults that holder records, heartbeats and replica acknowledgements answer, measured: a holder
cut off from the server, a holder killed, and failovers onto a lagging replica. Run by
bench/faults.py (`./run faults`)."""
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from tarvex_locks.local_servers import EmbeddedRedis, LocalCluster, LocalSentinel  # noqa: E402
from tools.proxies import LaggingProxy, StallingProxy  # noqa: E402

HOLDER = """
import sys, time, warnings
from tarvex_data.lock.implementations.quorvane import Quorvane
from tarvex_locks.tracked import TrackedQuorvane
from tarvex_utils.models.data_models.address import Address
kind, port, ttl = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
Lock = type('L', (TrackedQuorvane,), {'heartbeat_ttl': ttl}) if kind == 'tracked' else Quorvane
q = Lock(); q.connect('127.0.0.1', port=port)
assert q.acquire(Address('cut'))
print('holding', flush=True)
sys.stdin.readline()
lapsed = getattr(q, 'lapsed', None)
with warnings.catch_warnings(record=True) as seen:
    warnings.simplefilter('always')
    q.release(Address('cut'))
print(lapsed, len(seen), flush=True)
"""


def holder(kind: str, port: int, ttl: float) -> subprocess.Popen:
    p = subprocess.Popen([sys.executable, "-c", HOLDER, kind, str(port), str(ttl)],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert p.stdout.readline().strip() == "holding"
    return p


def partitions(runs: int, ttl: float = 2.0) -> None:
    """A holder whose link stalls while it holds a lock, then heals after its release was sent:
    plain (an operator deletes the stuck key) and tracked (a reaper waits on it)."""
    import redis
    from tarvex_data.lock.implementations.quorvane import Quorvane
    from tarvex_locks.tracked import TrackedQuorvane
    from tarvex_utils.models.data_models.address import Address

    print(f"\nA holder cut off from the server (a stalling proxy) sends its release, then the"
          f" link heals; {runs} runs per case, heartbeat TTL {ttl:g} s:")
    with EmbeddedRedis() as server:
        admin = redis.Redis(port=server.port)
        for kind, cut in (("plain", 1.5 * ttl), ("tracked", 1.5 * ttl), ("tracked", 0.5 * ttl)):
            taken, doubled, warned, lapsed, waits = 0, 0, 0, 0, []
            for _ in range(runs):
                admin.flushdb()
                proxy = StallingProxy(server.port)
                h = holder(kind, proxy.port, ttl)
                newcomer = (TrackedQuorvane(reap_dead=True) if kind == "tracked" else Quorvane())
                newcomer.connect("127.0.0.1", port=server.port)
                proxy.stall()
                started = time.monotonic()
                if kind == "plain":
                    time.sleep(cut)
                    admin.delete("cut")  # the runbook of old: the holder "looks gone"
                    got = newcomer.acquire(Address("cut"), timeout_ms=0)
                else:
                    got = newcomer.acquire(Address("cut"), timeout_ms=int(cut * 1000))
                waits.append(time.monotonic() - started)
                taken += got
                h.stdin.write("\n")
                h.stdin.flush()
                time.sleep(max(0.0, cut - (time.monotonic() - started)) + 0.3)
                proxy.heal()
                was_lapsed, warnings = h.stdout.readline().split()
                h.wait(10)
                lapsed += was_lapsed == "True"
                warned += int(warnings) > 0
                if got:
                    still = admin.get("cut")
                    doubled += still is None  # the late release deleted the newcomer's lock
                    if still is not None:
                        newcomer.release(Address("cut"))
                newcomer.disconnect()
                proxy.close()
            what = ("an operator deleted the key" if kind == "plain"
                    else "a waiter with reap_dead=True")
            print(f"  {kind}, cut off {cut:g} s, {what}: lock taken by the newcomer in {taken}"
                  f" of {runs} runs (after {min(waits):.1f} to {max(waits):.1f} s); the late"
                  f" release deleted the newcomer's lock in {doubled} of {runs}"
                  + (f"; holder's `lapsed` was True in {lapsed}, LockLostWarning in {warned}"
                     if kind == "tracked" else ""))
        admin.close()


KILLED = """
import sys, time
from tarvex_locks.tracked import TrackedQuorvane
from tarvex_utils.models.data_models.address import Address
q = TrackedQuorvane(); q.connect('127.0.0.1', port=int(sys.argv[1]))
assert q.acquire(Address('killed'))
print('holding', flush=True)
time.sleep(600)
"""


def reaped(runs: int) -> None:
    from tarvex_locks.tracked import TrackedQuorvane
    from tarvex_utils.models.data_models.address import Address

    print(f"\nA holder SIGKILLed while a waiter with reap_dead=True polls its lock (heartbeat TTL"
          f" {TrackedQuorvane.heartbeat_ttl:g} s, the default), {runs} runs:")
    seconds = []
    with EmbeddedRedis() as server:
        for _ in range(runs):
            p = subprocess.Popen([sys.executable, "-c", KILLED, str(server.port)],
                                 stdout=subprocess.PIPE, text=True)
            assert p.stdout.readline().strip() == "holding"
            waiter = TrackedQuorvane(reap_dead=True)
            waiter.connect("127.0.0.1", port=server.port)
            p.send_signal(signal.SIGKILL)
            p.wait()
            p.stdout.close()
            killed = time.monotonic()
            assert waiter.acquire(Address("killed"), timeout_ms=30000)
            seconds.append(time.monotonic() - killed)
            waiter.release(Address("killed"))
            waiter.disconnect()
    print(f"  the waiter took the lock {min(seconds):.1f} to {max(seconds):.1f} s after the kill")


def _primary_role(node) -> bool:
    try:
        with node.client(socket_timeout=1) as c:
            return c.info("replication").get("role") == "master"
    except Exception:  # noqa: BLE001
        return False


def _wait(predicate, seconds: float = 30) -> None:
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError("no failover")
        time.sleep(0.05)


def failover_run(layout: str, min_replicas: int, lag: float) -> tuple[bool, bool]:
    """One run: lock `kept` held, lock `freed` released 0.1 s before the primary dies, onto a
    replica `lag` s behind: (`kept` free for a second holder, `freed` held again by nobody)."""
    from tarvex_locks.sentinel import sentinel_quorvane
    from tarvex_locks.tracked import TrackedQuorvaneCluster
    from tarvex_utils.models.data_models.address import Address

    proxies = []

    def lagging(port: int, replica: int = 1) -> int:
        if replica == 0:
            return port  # the Sentinel layout's first replica stays in sync
        proxies.append(LaggingProxy(port, lag))
        return proxies[-1].port

    if layout == "cluster":
        topology = LocalCluster(3, replicas=1, node_timeout_ms=1000, announce_through=lagging)
        kept, freed = [k for k in topology.keys_on_each("f", 2)][:2]
        victim = topology.node_of(kept)
        assert topology.node_of(freed) is victim
        heir = topology.replica_of(victim)
        cls = type("C", (TrackedQuorvaneCluster,), {"min_replicas": min_replicas,
                                                    "replica_timeout_ms": 2000})
        where = [n for n in topology.nodes if n is not victim][0].port
        doomed = [victim]
    else:
        topology = LocalSentinel(replicas=2, replicate_through=lagging)
        kept, freed = "f/kept", "f/freed"
        heir, doomed = topology.replicas[1], [topology.primary, topology.replicas[0]]
        cls = sentinel_quorvane(topology.service, topology.sentinel_addresses,
                                min_replicas=min_replicas, replica_timeout_ms=2000,
                                track_holders=True)
        where = topology.sentinels[0].port
    try:
        first = cls()
        first.connect("127.0.0.1", port=where)
        assert first.acquire(Address(freed))
        time.sleep(lag + 0.3)  # every replica has that write
        assert first.acquire(Address(kept))
        first.release(Address(freed))
        time.sleep(0.1)
        for node in doomed:
            node.kill()
        _wait(lambda: _primary_role(heir))
        if layout == "sentinel":
            topology.wait_failover(doomed[0].port)
        with heir.client() as c:  # what the new primary has decides what anyone can take
            second_holder, back = c.exists(kept) == 0, c.exists(freed) == 1
        try:
            first.disconnect()
        except Exception:  # noqa: BLE001 - its primary is gone
            pass
        return second_holder, back
    finally:
        topology.stop()
        for p in proxies:
            p.close()


def failovers(runs: int, lag: float = 0.3) -> None:
    print(f"\nFailover onto a replica {lag:g} s behind (a proxy delays its stream): a lock held,"
          f" and one released 0.1 s before the primary dies; tracked classes, {runs} runs per"
          f" case:")
    cases = [("cluster, 3 masters + 3 replicas, every master's replica lagging", "cluster",
              (0, 1)),
             ("Sentinel, primary + 2 replicas, one in sync (dies with the primary), one lagging",
              "sentinel", (0, 1, 2))]
    for label, layout, settings in cases:
        print(f"  {label}:")
        for min_replicas in settings:
            holders, back = 0, 0
            for _ in range(runs):
                h, b = failover_run(layout, min_replicas, lag)
                holders += h
                back += b
            print(f"    min_replicas={min_replicas}: second holder in {holders} of {runs} runs;"
                  f" the released lock back (held, by nobody) in {back} of {runs}")


REAPER = """
import sys
from tarvex_locks.tracked import TrackedQuorvaneCluster
from tarvex_utils.models.data_models.address import Address
q = TrackedQuorvaneCluster(reap_dead=True); q.connect('127.0.0.1', port=int(sys.argv[1]))
print(q.acquire(Address(sys.argv[2]), timeout_ms=int(sys.argv[3])), flush=True)
"""


def heartbeat_failover_run(min_replicas: int, lag: float, ttl: float = 3.0) -> bool:
    """One run on a cluster: a holder's lock on a master in sync, its first heartbeat on another
    whose replica is `lag` s behind and which dies 0.05 s after the acquire returns: whether a
    reaping waiter in another process, waiting two TTLs, then takes the live holder's lock."""
    from tarvex_locks.holders import identity
    from tarvex_locks.tracked import TrackedQuorvaneCluster
    from tarvex_utils.models.data_models.address import Address

    proxies: dict = {}

    def through(port: int) -> int:
        proxies[port] = LaggingProxy(port, 0)
        return proxies[port].port

    topology = LocalCluster(3, replicas=1, node_timeout_ms=1000, announce_through=through)
    try:
        victim = topology.node_of(identity.heartbeat_key)
        proxies[victim.port].delay = lag
        key = next(k for k in topology.keys_on_each("h", 1) if topology.node_of(k) is not victim)
        heir = topology.replica_of(victim)
        where = topology.node_of(key)
        cls = type("C", (TrackedQuorvaneCluster,), {"min_replicas": min_replicas,
                                                    "replica_timeout_ms": 2000,
                                                    "heartbeat_ttl": ttl})
        first = cls()
        first.connect("127.0.0.1", port=where.port)
        assert first.acquire(Address(key))
        time.sleep(0.05)
        victim.kill()
        _wait(lambda: _primary_role(heir))
        topology.wait_ok(where)
        reaper = subprocess.run([sys.executable, "-c", REAPER, str(where.port), key,
                                 str(int(2 * ttl * 1000))], capture_output=True, text=True,
                                timeout=60)
        try:
            first.disconnect()
        except Exception:  # noqa: BLE001 - one of its masters is gone
            pass
        return reaper.stdout.strip() == "True"
    finally:
        topology.stop()
        for p in proxies.values():
            p.close()


def heartbeat_failovers(runs: int, lag: float = 0.3) -> None:
    print(f"\nA holder's first heartbeat on a master that dies 0.05 s after the acquire, onto a"
          f" replica {lag:g} s behind (the lock itself on a master in sync), heartbeat TTL 3 s;"
          f" a waiter with reap_dead=True then waits 6 s (2 TTLs), {runs} runs per case:")
    for min_replicas in (0, 1):
        taken = sum(heartbeat_failover_run(min_replicas, lag) for _ in range(runs))
        print(f"    min_replicas={min_replicas}: the live holder's lock taken by the reaper in"
              f" {taken} of {runs} runs")


def replication_cost(rounds: int = 200) -> None:
    import statistics

    from tarvex_locks.sentinel import sentinel_quorvane
    from tarvex_locks.tracked import TrackedQuorvaneCluster
    from tarvex_utils.models.data_models.address import Address

    print("\nacquire + release with replicas in sync, tracked classes, medians of"
          f" {rounds} rounds of 20:")
    layouts = {
        "cluster": (lambda: LocalCluster(3, replicas=1), (0, 1),
                    lambda n, c: type("C", (TrackedQuorvaneCluster,), {"min_replicas": n}),
                    lambda c: c.port),
        "Sentinel": (lambda: LocalSentinel(replicas=2), (0, 1, 2),
                     lambda n, t: sentinel_quorvane(t.service, t.sentinel_addresses,
                                                    min_replicas=n, track_holders=True),
                     lambda t: t.sentinels[0].port),
    }
    for name, (start, settings, make, port_of) in layouts.items():
        with start() as topology:  # one topology at a time: the machine has two cores
            locks = {}
            for n in settings:
                locks[n] = make(n, topology)()
                locks[n].connect("127.0.0.1", port=port_of(topology))
            times: dict = {n: [] for n in settings}
            for _ in range(rounds):
                for n, lock in locks.items():
                    started = time.perf_counter()
                    for _ in range(20):
                        lock.acquire(Address("cost"))
                        lock.release(Address("cost"))
                    times[n].append((time.perf_counter() - started) / 20 * 1e6)
            base = statistics.median(times[0])
            print(f"  {name}: " + "; ".join(
                f"min_replicas={n} {statistics.median(times[n]):.0f} us"
                f" ({statistics.median(times[n]) / base:.2f}x)" for n in settings))
            for lock in locks.values():
                lock.disconnect()
