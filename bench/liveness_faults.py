"""What the heartbeat and `lapsed` say under the faults they exist for, measured: a reconnect
after the heartbeat lapsed, a stalled server beside a healthy one, a fork right after
`connect`, a reaping attempt's lost second write, a second event loop, a crowd of asyncio tasks,
a release that fails, values no lock writes, a paused holder against fenced storage, and a
cluster failover under min_replicas. Run by bench/faults.py (`./run faults --only liveness`)."""
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from tarvex_locks.local_servers import EmbeddedRedis, LocalCluster  # noqa: E402
from tools.proxies import ReplyDropper, StallingProxy  # noqa: E402

PRELUDE = """
import asyncio, json, os, sys, time, warnings
warnings.simplefilter("ignore", DeprecationWarning)
import redis
from tarvex_locks.aio import AsyncQuorvane
from tarvex_locks.holders import identity
from tarvex_locks.tracked import TrackedQuorvane
from tarvex_utils.models.data_models.address import Address
port = int(sys.argv[1])
Short = type('Short', (TrackedQuorvane,), {'heartbeat_ttl': 1.0})
AShort = type('AShort', (AsyncQuorvane,), {'heartbeat_ttl': 1.0})
"""


def python(code: str, *args: object, timeout: float = 120) -> str:
    out = subprocess.run([sys.executable, "-c", PRELUDE + code, *map(str, args)],
                         capture_output=True, text=True, timeout=timeout)
    if out.returncode != 0:
        raise RuntimeError(out.stderr[-500:])
    return out.stdout.strip()


REAPER = """
q = TrackedQuorvane(reap_dead=True); q.connect('127.0.0.1', port=port)
print(q.acquire(Address(sys.argv[2]), timeout_ms=int(sys.argv[3])))
"""

RECONNECT = """
lock = (Short if sys.argv[2] == 'sync' else AShort)()
lock.connect('127.0.0.1', port=port)
a = Address('lapse')
async def call(method, *args):
    return await getattr(lock, method)(*args) if sys.argv[2] == 'async' else getattr(lock, method)(*args)
async def main():
    assert await call('acquire', a)
    await call('disconnect')
    print('disconnected', flush=True)
    sys.stdin.readline()  # a reaper has taken the lock meanwhile
    lock.connect('127.0.0.1', port=port)
    now = lock.lapsed
    await asyncio.sleep(1.0)
    print(json.dumps([now, lock.lapsed, await call('holds', a)]))
asyncio.run(main())
"""


def reconnect(port: int, runs: int) -> None:
    print(f"\nA holder (TTL 1 s) disconnects while it holds a lock, a reaper in another process"
          f" takes it, the holder connects again; {runs} runs per class:")
    for kind in ("sync", "async"):
        false_lapsed, held = 0, 0
        for _ in range(runs):
            p = subprocess.Popen([sys.executable, "-c", PRELUDE + RECONNECT, str(port), kind],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            assert p.stdout.readline().strip() == "disconnected"
            assert python(REAPER, port, "lapse", 5000) == "True"
            p.stdin.write("\n")
            p.stdin.flush()
            now, later, holds = json.loads(p.stdout.readline())
            p.wait(30)
            false_lapsed += (not now) + (not later)
            held += holds
            python("r = redis.Redis(port=port); r.delete('lapse')", port)
        print(f"  {'TrackedQuorvane' if kind == 'sync' else 'AsyncQuorvane'}: `lapsed` False in"
              f" {false_lapsed} of {2 * runs} reads (at once and 1 s later); `holds` True in"
              f" {held} of {runs}")


STALLED = """
far, near = Short(), Short()
far.connect('127.0.0.1', port=int(sys.argv[2]))
near.connect('127.0.0.1', port=port)
assert far.acquire(Address('far')) and near.acquire(Address('near'))
print('holding', flush=True)
sys.stdin.readline()
print(json.dumps([near.lapsed, near.holds(Address('near'))]), flush=True)
"""


def stalled(port: int, runs: int, seconds: float = 3.0) -> None:
    print(f"\nOne process holds a lock on each of two servers (TTL 1 s); the link to one stalls"
          f" for {seconds:g} s while a reaper in another process waits on the other's lock;"
          f" {runs} runs:")
    with EmbeddedRedis() as far:
        taken, false_lapsed = 0, 0
        for _ in range(runs):
            proxy = StallingProxy(far.port)
            p = subprocess.Popen([sys.executable, "-c", PRELUDE + STALLED, str(port),
                                  str(proxy.port)], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
            assert p.stdout.readline().strip() == "holding"
            proxy.stall()
            got = python(REAPER, port, "near", int(seconds * 1000)) == "True"
            taken += got
            p.stdin.write("\n")
            p.stdin.flush()
            proxy.heal()
            lapsed, _ = json.loads(p.stdout.readline())
            false_lapsed += got and not lapsed
            p.wait(30)
            proxy.close()
            python("r = redis.Redis(port=port); r.delete('near')", port)
            python("r = redis.Redis(port=port); r.delete('far')", far.port)
        print(f"  the healthy server's lock taken by the reaper in {taken} of {runs} runs;"
              f" `lapsed` False after such a take in {false_lapsed}")


AT_ONCE = """
failed = 0
for i in range(int(sys.argv[2])):
    pid = os.fork()
    if pid == 0:
        lock = TrackedQuorvane(); lock.connect('127.0.0.1', port=port)
        child = os.fork()
        if child == 0:
            try:
                ok = lock.acquire(Address(f'at-once/{i}'), timeout_ms=0)
            except BaseException:
                ok = False
            os._exit(0 if ok else 1)
        os._exit(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]))
    failed += os.waitpid(pid, 0)[1] != 0
print(failed)
"""


def fork_at_once(port: int, runs: int) -> None:
    failed = python(AT_ONCE, port, runs)
    print(f"\nA child forked right after `connect`, each in a process that never connected"
          f" before: its first acquire failed in {failed} of {runs} trials")


RETAKE = """
from redis.backoff import NoBackoff
from redis.retry import Retry
NoRetry = type('NoRetry', (TrackedQuorvane,), {'_get_redis_client': staticmethod(
    lambda h, **o: redis.Redis(host=h, **o, retry=Retry(NoBackoff(), 0)))})
q = NoRetry(reap_dead=True); q.connect('127.0.0.1', port=port)
try:
    print(q.acquire(Address('reaped'), timeout_ms=0))
except redis.exceptions.ConnectionError as e:
    print(type(e).__name__)
"""


def lost_retake(port: int, runs: int) -> None:
    import redis

    admin = redis.Redis(port=port)
    left, outcomes = 0, {}
    for _ in range(runs):
        admin.set("reaped", json.dumps({"tarvex.holder": {"host": "h", "pid": 1,
                                                          "process": "gone", "token": "t"}}))
        proxy = ReplyDropper(port)
        proxy.drop_next_set_replies(1, after=1)
        outcome = python(RETAKE, proxy.port)
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        left += admin.get("reaped") is not None
        admin.delete("reaped")
        proxy.close()
    print(f"\nA reaping attempt whose second write's reply is lost (no client retries), {runs}"
          f" runs: acquire gave {outcomes}; a key left naming the live process in {left}")


SECOND_LOOP = """
lock = AShort(); lock.connect('127.0.0.1', port=port)
async def first():
    assert await lock.acquire(Address('loops'))
async def second():
    await asyncio.sleep(1.5)  # more than a TTL: refreshed by the heartbeat meanwhile
    seen = [lock.lapsed, await lock.holds(Address('loops'))]
    await lock.release(Address('loops'))
    await lock.disconnect()
    return seen
asyncio.run(first())
print(json.dumps(asyncio.run(second())))
"""


def second_loop(port: int, runs: int) -> None:
    false_true, holds = 0, 0
    for _ in range(runs):
        lapsed, held = json.loads(python(SECOND_LOOP, port))
        false_true += lapsed
        holds += held
    print(f"\nAsyncQuorvane reused in a second event loop while it holds a lock, {runs} runs:"
          f" `lapsed` True in {false_true}, `holds` True in {holds}")


CROWD = """
async def main():
    lock = AsyncQuorvane(); lock.connect('127.0.0.1', port=port)
    errors = {}
    async def body(i):
        for _ in range(20):
            try:
                async with lock.held(Address(f'crowd/{i % 20}'), timeout_ms=60000):
                    await asyncio.sleep(0.001)
            except Exception as e:
                errors[type(e).__name__] = errors.get(type(e).__name__, 0) + 1
    started = time.monotonic()
    await asyncio.gather(*(body(i) for i in range(200)))
    elapsed = time.monotonic() - started
    await lock.disconnect()
    r = redis.Redis(port=port)
    print(json.dumps([errors, len(r.keys('crowd/*')), elapsed]))
asyncio.run(main())
"""


def crowd(port: int) -> None:
    errors, left, elapsed = json.loads(python(CROWD, port, timeout=600))
    print(f"\n200 asyncio tasks x 20 sections over 20 addresses on one AsyncQuorvane, default"
          f" client: errors {errors or 'none'}, keys left {left}, {elapsed:.1f} s")


OWED = """
failing = []
class Flaky(redis.Redis):
    def execute_command(self, *args, **options):
        if failing and args[0] == 'EVALSHA':
            failing.pop()
            raise redis.exceptions.ConnectionError('lost on the way')
        return super().execute_command(*args, **options)
Lock = type('Lock', (TrackedQuorvane,), {'_get_redis_client': staticmethod(
    lambda h, **o: Flaky(host=h, **o))})
lock = Lock(); lock.connect('127.0.0.1', port=port)
a = Address('owed')
assert lock.acquire(a)
failing.append(1)
try:
    lock.release(a)
except redis.exceptions.ConnectionError:
    pass
r, started = redis.Redis(port=port), time.monotonic()
while r.exists('owed') and time.monotonic() - started < 30:
    time.sleep(0.05)
print(json.dumps([r.exists('owed'), time.monotonic() - started]))
"""


def owed(port: int, runs: int) -> None:
    stuck, seconds = 0, []
    for _ in range(runs):
        left, waited = json.loads(python(OWED, port))
        stuck += left
        seconds.append(waited)
    print(f"\nA release whose command fails (the connection lost on the way), default TTL,"
          f" {runs} runs: the key still there 30 s later in {stuck}; gone after"
          f" {min(seconds):.1f} to {max(seconds):.1f} s")


FOREIGN = {"Infinity as pid": '{"tarvex.holder": {"host": "h", "pid": Infinity, "process": "p",'
                              ' "token": "t"}}',
           "NaN in metadata": '{"worker": NaN}',
           "nested 100,000 deep": "[" * 100000 + "]" * 100000}


def foreign(port: int) -> None:
    import redis

    admin = redis.Redis(port=port)
    print("\nValues that no lock class writes, under `tarvex-locks` (list --json, then delete"
          " --dead --force --yes) and a reaping acquire:")
    where = ["--redis", f"127.0.0.1:{port}"]
    for label, value in FOREIGN.items():
        admin.set("foreign", value)
        listed = subprocess.run([sys.executable, "-m", "tarvex_locks.held_locks", *where, "list",
                                 "foreign", "--json"], capture_output=True, text=True)
        try:
            rows = json.loads(listed.stdout, parse_constant=lambda c: 1 / 0)
            strict = f"strict JSON, state {rows[0]['state']}"
        except (ValueError, ZeroDivisionError, IndexError):
            strict = "not strict JSON"
        reaped = python(REAPER, port, "foreign", 0)
        deleted = subprocess.run([sys.executable, "-m", "tarvex_locks.held_locks", *where,
                                  "delete", "foreign", "--dead", "--force", "--yes"],
                                 capture_output=True, text=True)
        print(f"  {label}: list exit {listed.returncode} ({strict}); reaper {reaped};"
              f" delete exit {deleted.returncode}, key {'gone' if not admin.exists('foreign') else 'kept'}")
        admin.delete("foreign")


CLUSTER_HOLDER = """
from tarvex_locks.tracked import TrackedQuorvaneCluster
warnings.simplefilter('ignore')  # the release's LockLostWarning: counted from `lapsed`
cls = type('C', (TrackedQuorvaneCluster,), {'min_replicas': 1, 'replica_timeout_ms': 500,
                                            'heartbeat_ttl': float(sys.argv[2])})
print(identity.heartbeat_key, flush=True)
key = Address(sys.stdin.readline().strip())
lock = cls(); lock.connect('127.0.0.1', port=port)
assert lock.acquire(key)
print('holding', flush=True)
sys.stdin.readline()
lapsed = lock.lapsed
started = time.monotonic()
while True:
    try:
        lock.release(key)
        outcome = 'released'
        break
    except redis.exceptions.RedisError as e:
        outcome = type(e).__name__
        if outcome == 'NotReplicated' or time.monotonic() - started > 20:
            break
        time.sleep(0.2)
print(json.dumps([outcome, time.monotonic() - started, lapsed]), flush=True)
"""

CLUSTER_REAPER = """
from tarvex_locks.tracked import TrackedQuorvaneCluster
q = TrackedQuorvaneCluster(reap_dead=True); q.connect('127.0.0.1', port=port)
print(q.acquire(Address(sys.argv[2]), timeout_ms=int(sys.argv[3])))
"""


def cluster_failover(runs: int, ttl: float = 3.0) -> None:
    print(f"\nCluster, 3 masters + 3 replicas, min_replicas=1, heartbeat TTL {ttl:g} s: the"
          f" master of a holder's heartbeat and of its lock killed; once its replica is"
          f" promoted, a reaper in another process waits {2 * ttl:g} s (2 TTLs), then the"
          f" holder releases, retrying every 0.2 s; {runs} runs:")
    taken, outcomes, seconds, lapsed = 0, {}, [], 0
    for _ in range(runs):
        with LocalCluster(3, replicas=1, node_timeout_ms=1000) as c:
            holder = subprocess.Popen([sys.executable, "-c", PRELUDE + CLUSTER_HOLDER,
                                       str(c.port), str(ttl)], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True)
            victim = c.node_of(holder.stdout.readline().strip())
            key = next(k for k in c.keys_on_each("promoted", 1) if c.node_of(k) is victim)
            heir = c.replica_of(victim)
            holder.stdin.write(key + "\n")
            holder.stdin.flush()
            assert holder.stdout.readline().strip() == "holding"
            victim.kill()
            with heir.client() as h:
                while h.info("replication")["role"] != "master":
                    time.sleep(0.05)
            survivor = next(n for n in c.nodes[:3] if n is not victim)
            taken += python(CLUSTER_REAPER, survivor.port, key, int(2 * ttl * 1000)) == "True"
            holder.stdin.write("\n")
            holder.stdin.flush()
            outcome, waited, was_lapsed = json.loads(holder.stdout.readline())
            lapsed += was_lapsed
            holder.wait(30)
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
            seconds.append(waited)
    print(f"  the live holder's lock taken by the reaper in {taken} of {runs} runs, the holder's"
          f" `lapsed` True in {lapsed}; its release ended in {outcomes} after"
          f" {min(seconds):.1f} to {max(seconds):.1f} s (NotReplicated: applied on the promoted"
          f" replica, which has no replica of its own yet)")


def main(runs: int) -> None:
    with EmbeddedRedis() as server:
        reconnect(server.port, runs)
        stalled(server.port, runs)
        fork_at_once(server.port, 2 * runs)
        lost_retake(server.port, runs)
        second_loop(server.port, runs)
        crowd(server.port)
        owed(server.port, max(1, runs // 2))
        foreign(server.port)
        paused_holder(server.port, runs)
    fences_survive(runs)
    for ttl in (3.0, 10.0):
        cluster_failover(runs, ttl)


PAUSED = """
lock = Short(fair=True); lock.connect('127.0.0.1', port=port)
r = redis.Redis(port=port)
guarded = r.register_script(GUARDED_WRITE)
a = Address('fenced')
assert lock.acquire(a)
fence = lock.fence(a)
print('holding', flush=True)
sys.stdin.readline()  # stopped (SIGSTOP) past its TTL, then continued
print(json.dumps([fence, guarded(keys=['fenced:data', 'fenced:fence'], args=[fence, 'old']),
                  lock.lapsed]), flush=True)
"""

# The storage side of fencing: a write counts only with a token no older than the newest seen.
GUARDED_WRITE = """
if tonumber(ARGV[1]) < tonumber(redis.call('GET', KEYS[2]) or '0') then return 0 end
redis.call('SET', KEYS[2], ARGV[1])
redis.call('SET', KEYS[1], ARGV[2])
return 1
"""


def paused_holder(port: int, runs: int) -> None:
    import signal

    import redis
    from tarvex_locks.tracked import TrackedQuorvane
    from tarvex_utils.models.data_models.address import Address

    print(f"\nA fair holder (TTL 1 s) stopped by SIGSTOP until a reaping fair waiter has taken"
          f" the lock and writes through a fence-guarded script; the old holder, continued,"
          f" writes too; {runs} runs:")
    admin = redis.Redis(port=port)
    guarded = admin.register_script(GUARDED_WRITE)
    rejected, taken, lapsed = 0, 0, 0
    for _ in range(runs):
        admin.delete("fenced", "fenced:data", "fenced:fence")
        p = subprocess.Popen([sys.executable, "-c", PRELUDE + f"GUARDED_WRITE = {GUARDED_WRITE!r}"
                              + PAUSED, str(port)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
        assert p.stdout.readline().strip() == "holding"
        p.send_signal(signal.SIGSTOP)
        waiter = TrackedQuorvane(fair=True, reap_dead=True)
        waiter.connect("127.0.0.1", port=port)
        got = waiter.acquire(Address("fenced"), timeout_ms=5000)
        taken += got
        if got:
            guarded(keys=["fenced:data", "fenced:fence"], args=[waiter.fence(Address("fenced")),
                                                                "new"])
        p.send_signal(signal.SIGCONT)
        p.stdin.write("\n")
        p.stdin.flush()
        _, written, was_lapsed = json.loads(p.stdout.readline())
        p.wait(30)
        rejected += written == 0 and admin.get("fenced:data") == b"new"
        lapsed += was_lapsed
        if got:
            waiter.release(Address("fenced"))
        waiter.disconnect()
    print(f"  the waiter took the lock in {taken} of {runs} runs; the old holder's write was"
          f" rejected in {rejected} of {runs} (the data kept the new holder's write); its"
          f" `lapsed` read True in {lapsed}")


def fences_survive(runs: int) -> None:
    """Fencing tokens after the counter is lost (a restart without persistence) or set back (a
    failover onto a replica that missed the last holds)."""
    from tarvex_locks.local_servers import LocalSentinel
    from tarvex_locks.sentinel import sentinel_quorvane
    from tarvex_locks.tracked import TrackedQuorvane
    from tarvex_utils.models.data_models.address import Address
    from tools.proxies import HoldingProxy

    a = Address("fenced", "counter")
    print(f"\nFencing tokens after the counter is lost or set back, {runs} runs per case:")
    above = 0
    with EmbeddedRedis() as server:
        for _ in range(runs):
            lock = TrackedQuorvane(fair=True)
            lock.connect("127.0.0.1", port=server.port)
            before = []
            for _ in range(50):
                assert lock.acquire(a)
                before.append(lock.fence(a))
                lock.release(a)
            lock.disconnect()
            server.kill()  # no persistence: the counter is gone
            server.start()
            lock = TrackedQuorvane(fair=True)
            lock.connect("127.0.0.1", port=server.port)
            assert lock.acquire(a)
            above += lock.fence(a) > max(before)
            lock.release(a)
            lock.disconnect()
    print(f"  a restart without persistence: the next token above every earlier one in {above}"
          f" of {runs} runs")
    above, set_back, came_back = 0, 0, 0
    for _ in range(runs):
        proxies: list = []

        def through(port: int, _replica: int) -> int:
            proxies.append(HoldingProxy(port))
            return proxies[-1].port

        with LocalSentinel(replicate_through=through, down_after_ms=500) as t:
            Locks = sentinel_quorvane(t.service, t.sentinel_addresses, track_holders=True,
                                      fair=True)
            lock = Locks()
            lock.connect("127.0.0.1", port=t.sentinel_addresses[0][1])
            before = []
            for i in range(50):
                if i == 25:
                    proxies[0].hold()  # the replica misses the last 25 holds
                assert lock.acquire(a)
                before.append(lock.fence(a))
                lock.release(a)
            old = t.primary.port
            t.primary.kill()
            for p in proxies:
                p.close()
            t.wait_failover(old)
            with t.replicas[0].client() as promoted:  # what the counter alone would give
                set_back += int(promoted.get("tarvex-locks:{fenced/counter}:fence:fenced/counter")
                                or 0) < max(before)
                came_back += promoted.delete("fenced/counter")  # a release it missed
            deadline = time.monotonic() + 30
            while True:
                try:
                    got = lock.acquire(a, timeout_ms=0)
                    break
                except Exception:  # noqa: BLE001 - the client finds the new primary
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.2)
            above += bool(got) and lock.fence(a) > max(before)
            try:
                lock.disconnect()
            except Exception:  # noqa: BLE001
                pass
    print(f"  a Sentinel failover onto a replica that missed the last 25 of 50 holds"
          f" (min_replicas=0): the counter set back below the last token in {set_back} of"
          f" {runs} runs (the last release lost too, its lock back and deleted by hand, in"
          f" {came_back}); the next token above every earlier one in {above} of {runs}")
