"""Per-call cost cases, timed in interleaved rounds so that drift hits every case alike.

Run by bench/run.py; each Redis case set runs in its own interpreter so that the reply parser
(hiredis or redis-py's own) is chosen before redis is imported.
"""
import gc
import json
import statistics
import sys
import threading
import time
import tracemalloc


def interleaved(cases: dict, ops: int, rounds: int) -> dict:
    """Per case: median wall and CPU nanoseconds per operation over `rounds` interleaved
    rounds, and the median over rounds of its ratio to the first case in the same round
    (pairing neighbours in time cancels the drift of a shared machine)."""
    names = list(cases)
    wall = {name: [] for name in names}
    cpu = {name: [] for name in names}
    for fn in cases.values():
        fn(max(ops // 10, 1))  # warm caches, connections and specialised bytecode
    gc.disable()
    try:
        for r in range(rounds):
            order = names if r % 2 == 0 else names[::-1]  # no case always runs first
            for name in order:
                c0, w0 = time.thread_time_ns(), time.perf_counter_ns()
                cases[name](ops)
                wall[name].append((time.perf_counter_ns() - w0) / ops)
                cpu[name].append((time.thread_time_ns() - c0) / ops)
    finally:
        gc.enable()
    base = names[0]
    return {name: {"wall_ns": statistics.median(wall[name]),
                   "cpu_ns": statistics.median(cpu[name]),
                   "wall_ratio": statistics.median(a / b for a, b in zip(wall[name], wall[base])),
                   "cpu_ratio": statistics.median(a / b for a, b in zip(cpu[name], cpu[base]))}
            for name in names}


def block_hiredis() -> None:
    import importlib.abc

    class Block(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path, target=None):
            if name == "hiredis" or name.startswith("hiredis."):
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)

    sys.meta_path.insert(0, Block())


def redis_cases(port: int, ops: int, rounds: int, parser: str) -> dict:
    if parser == "python":
        block_hiredis()
    import redis
    import redis.utils
    from tarvex_data.lock.implementations.quorvane import Quorvane
    from tarvex_utils.models.data_models.address import Address

    assert redis.utils.HIREDIS_AVAILABLE == (parser == "hiredis")
    raw = redis.Redis(host="127.0.0.1", port=port)
    q = Quorvane()
    q.connect("127.0.0.1", port=port)
    address = Address("bench", "quorvane")
    raw_key = "bench/raw"
    lock_key = "bench/redis-lock"

    def raw_pair(n):
        set_, delete = raw.set, raw.delete
        for _ in range(n):
            set_(raw_key, "", nx=True)
            delete(raw_key)

    def quorvane_pair(n):
        acquire, release = q.acquire, q.release
        for _ in range(n):
            acquire(address)
            release(address)

    def redis_lock_pair(n):
        for _ in range(n):
            lock = raw.lock(lock_key)
            lock.acquire()
            lock.release()

    result = interleaved({"raw redis-py": raw_pair, "Quorvane": quorvane_pair,
                          "redis-py Lock": redis_lock_pair}, ops, rounds)
    q.disconnect()
    raw.close()
    return result


def tracked_cases(port: int, ops: int, rounds: int) -> dict:
    """Plain Quorvane beside the tracked class on one server (redis-py's default parser)."""
    from tarvex_data.lock.implementations.quorvane import Quorvane
    from tarvex_locks.tracked import TrackedQuorvane
    from tarvex_utils.models.data_models.address import Address

    plain, tracked = Quorvane(), TrackedQuorvane()
    for lock in (plain, tracked):
        lock.connect("127.0.0.1", port=port)

    def pairs(lock, address):
        def run(n):
            acquire, release = lock.acquire, lock.release
            for _ in range(n):
                acquire(address)
                release(address)
        return run

    from tarvex_locks import metrics

    def unmeasured(run):  # the same calls with the metrics switched off
        def off(n):
            metrics.enabled = False
            try:
                run(n)
            finally:
                metrics.enabled = True
        return off

    result = interleaved({"Quorvane": pairs(plain, Address("bench", "plain")),
                          "TrackedQuorvane": pairs(tracked, Address("bench", "tracked")),
                          "TrackedQuorvane, metrics off": unmeasured(
                              pairs(tracked, Address("bench", "unmeasured")))},
                         ops, rounds)
    for lock in (plain, tracked):
        lock.disconnect()
    return result


def heartbeat_rate(port: int, seconds: float) -> dict:
    """Commands the heartbeat sends while a tracked instance sits connected and idle."""
    import redis
    from tarvex_locks.tracked import TrackedQuorvane
    from tarvex_utils.models.data_models.address import Address

    admin = redis.Redis(port=port)
    lock = TrackedQuorvane()
    lock.connect("127.0.0.1", port=port)
    lock.acquire(Address("bench", "beat"))

    def evals() -> int:
        stats = admin.info("commandstats")
        return sum(int(stats.get(f"cmdstat_{name}", {}).get("calls", 0))
                   for name in ("eval", "evalsha"))

    before = evals()
    time.sleep(seconds)
    sent = evals() - before
    lock.release(Address("bench", "beat"))
    lock.disconnect()
    admin.close()
    return {"commands": sent, "seconds": seconds, "per_second": sent / seconds,
            "ttl_s": TrackedQuorvane.heartbeat_ttl}


def sellavar_cases(ops: int, rounds: int) -> dict:
    from tarvex_data.lock.implementations.sellavar import Sellavar
    from tarvex_utils.models.data_models.address import Address

    class PlainSellavar:
        """The same steps in plain Python, for comparison only."""

        def __init__(self):
            self.locks = {}
            self.lock_data = {}

        def acquire(self, target_address, *, timeout_ms=-1, blocking=True, metadata=None):
            if target_address not in self.locks:
                self.locks[target_address] = threading.Lock()
                self.lock_data[target_address] = (timeout_ms, metadata or {})
            lock = self.locks[target_address]
            if blocking:
                return lock.acquire(timeout=timeout_ms / 1000 if timeout_ms >= 0 else -1)
            return lock.acquire(blocking=False)

        def release(self, target_address):
            if target_address in self.locks:
                self.locks[target_address].release()

    a = Address("bench", "sellavar")
    s, plain = Sellavar(), PlainSellavar()
    locks = {a: threading.Lock()}
    s.acquire(a)
    s.release(a)
    plain.acquire(a)
    plain.release(a)

    def ours(n):
        for _ in range(n):
            s.acquire(a)
            s.release(a)

    def floor(n):
        for _ in range(n):
            locks[a].acquire(timeout=-1)
            locks[a].release()

    def plain_pair(n):
        for _ in range(n):
            plain.acquire(a)
            plain.release(a)

    return interleaved({"bare Lock in a dict (floor)": floor, "Sellavar": ours,
                        "plain-Python class": plain_pair}, ops, rounds)


def sellavar_memory(count: int) -> dict:
    from tarvex_data.data_models.lock_object import LockObject
    from tarvex_data.lock.implementations.sellavar import Sellavar
    from tarvex_utils.models.data_models.address import Address

    addresses = [Address("m", str(i)) for i in range(count)]

    def measure(fill) -> float:
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        kept = fill()
        after = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        del kept
        return (after - before) / count

    def fill_sellavar():
        s = Sellavar()
        for address in addresses:
            s.acquire(address, blocking=False)
        return s

    def fill_floor():
        locks, records = {}, {}
        for address in addresses:
            locks[address] = threading.Lock()
            records[address] = LockObject(expires_at=-1, data={})
        return locks, records

    return {"Sellavar": measure(fill_sellavar), "floor": measure(fill_floor)}


def asyncio_stall(port: int, rounds: int) -> dict:
    """How long an event loop stops while a coroutine takes a lock: calling Quorvane directly,
    handing it to a thread, and awaiting AsyncQuorvane; beside them raw redis.asyncio sending the
    same commands, and the loop running nothing. The figure is the worst lateness of a 5 ms
    heartbeat while the call runs."""
    import asyncio

    import redis
    from tarvex_data.lock.implementations.quorvane import Quorvane
    from tarvex_locks.aio import AsyncQuorvane
    from tarvex_utils.models.data_models.address import Address

    q = Quorvane()
    q.connect("127.0.0.1", port=port)
    admin = redis.Redis(port=port)
    admin.set("held-elsewhere", "x")
    free, held = Address("free"), Address("held-elsewhere")

    def contended() -> None:
        q.acquire(held, timeout_ms=300)

    def uncontended() -> None:
        q.acquire(free)
        q.release(free)

    async def worst_lateness(call) -> float:
        loop = asyncio.get_running_loop()
        done = asyncio.Event()
        worst = 0.0

        async def heartbeat() -> None:
            nonlocal worst
            while not done.is_set():
                start = loop.time()
                await asyncio.sleep(0.005)
                worst = max(worst, loop.time() - start - 0.005)

        beat = asyncio.create_task(heartbeat())
        await asyncio.sleep(0.02)
        await call()
        await asyncio.sleep(0.02)
        done.set()
        await beat
        return worst * 1000

    async def measure() -> dict:
        a = AsyncQuorvane()
        a.connect("127.0.0.1", port=port)
        await a.acquire(free)  # the heartbeat is written before any round is timed
        await a.release(free)

        async def async_contended() -> None:
            await a.acquire(held, timeout_ms=300)

        async def async_uncontended() -> None:
            await a.acquire(free)
            await a.release(free)

        from tarvex_locks import holders
        from tarvex_locks.protocol import SHA

        value = holders.lock_value(None)

        async def raw_contended() -> None:  # the class's attempts and pauses, without the class
            for attempt in range(4):
                if attempt:
                    await asyncio.sleep(0.1)
                await a.client.execute_command("SET", "held-elsewhere", value, "NX", "GET",
                                               get=True)

        async def raw_uncontended() -> None:
            await a.client.execute_command("SET", "free", value, "NX", "GET", get=True)
            await a.client.execute_command("EVALSHA", SHA[holders.DELETE_IF], 1, "free", value)

        async def idle_contended() -> None:
            await asyncio.sleep(0.3)

        async def idle_uncontended() -> None:
            await asyncio.sleep(0)

        out = {}
        for name, body, native, raw, idle in (
                ("contended acquire, timeout_ms=300", contended, async_contended,
                 raw_contended, idle_contended),
                ("uncontended acquire + release", uncontended, async_uncontended,
                 raw_uncontended, idle_uncontended)):

            async def direct(body=body) -> None:
                body()

            async def threaded(body=body) -> None:
                await asyncio.to_thread(body)

            for how, call in (("Quorvane, direct call", direct),
                              ("Quorvane, asyncio.to_thread", threaded),
                              ("AsyncQuorvane, awaited", native),
                              ("raw redis.asyncio, the same commands", raw),
                              ("no call: the loop's own lateness", idle)):
                stalls = [await worst_lateness(call) for _ in range(rounds)]
                out[f"{name}, {how}"] = statistics.median(stalls)
        await a.disconnect()
        return out

    result = asyncio.run(measure())
    admin.delete("held-elsewhere")
    admin.close()
    q.disconnect()
    return result


def async_cases(port: int, ops: int, rounds: int) -> dict:
    """AsyncQuorvane's acquire + release beside the sync classes', each pair one after the
    other on one connection (a loop that does nothing else)."""
    import asyncio

    from tarvex_data.lock.implementations.quorvane import Quorvane
    from tarvex_locks.aio import AsyncQuorvane
    from tarvex_locks.tracked import TrackedQuorvane
    from tarvex_utils.models.data_models.address import Address

    loop = asyncio.new_event_loop()
    a = AsyncQuorvane()
    a.connect("127.0.0.1", port=port)
    plain, tracked = Quorvane(), TrackedQuorvane()
    for lock in (plain, tracked):
        lock.connect("127.0.0.1", port=port)

    def sync_pairs(lock, address):
        def run(n):
            for _ in range(n):
                lock.acquire(address)
                lock.release(address)
        return run

    async def async_pairs(n):
        address = Address("bench", "async")
        for _ in range(n):
            await a.acquire(address)
            await a.release(address)

    from tarvex_locks import holders
    from tarvex_locks.protocol import SHA

    raw, value = a.client, holders.lock_value(None)

    async def raw_pairs(n):  # the same two commands, without the class around them
        for _ in range(n):
            await raw.execute_command("SET", "bench/raw-async", value, "NX", "GET", get=True)
            await raw.execute_command("EVALSHA", SHA[holders.DELETE_IF], 1, "bench/raw-async",
                                      value)

    loop.run_until_complete(raw.eval(holders.DELETE_IF, 1, "bench/raw-async", value))
    result = interleaved({"TrackedQuorvane": sync_pairs(tracked, Address("bench", "tracked")),
                          "Quorvane": sync_pairs(plain, Address("bench", "plain")),
                          "AsyncQuorvane": lambda n: loop.run_until_complete(async_pairs(n)),
                          "raw redis.asyncio, the same commands":
                              lambda n: loop.run_until_complete(raw_pairs(n))},
                         ops, rounds)
    loop.run_until_complete(a.disconnect())
    loop.close()
    for lock in (plain, tracked):
        lock.disconnect()
    return result


if __name__ == "__main__":
    kind = sys.argv[1]
    if kind == "asyncio":
        out = asyncio_stall(int(sys.argv[2]), int(sys.argv[3]))
    elif kind == "redis":
        out = redis_cases(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
    elif kind == "async":
        out = async_cases(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]))
    elif kind == "tracked":
        out = tracked_cases(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]))
    elif kind == "heartbeat":
        out = heartbeat_rate(int(sys.argv[2]), float(sys.argv[3]))
    elif kind == "sellavar":
        out = sellavar_cases(int(sys.argv[2]), int(sys.argv[3]))
    else:
        out = sellavar_memory(int(sys.argv[2]))
    print(json.dumps(out))
