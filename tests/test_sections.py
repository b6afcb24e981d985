"""`with held(...)` over every lock class, and the asyncio lock beside the sync ones."""
import asyncio
import json
import subprocess
import sys
import threading
import time

import pytest

from fakes import Address
from tarvex_locks import LockNotHeld, held
from tarvex_locks.aio import AsyncQuorvane
from tarvex_locks.tracked import TrackedQuorvane


def make_lock(kind, qmod, smod, port):
    lock = {"Quorvane": qmod.Quorvane, "Sellavar": smod.Sellavar,
            "TrackedQuorvane": TrackedQuorvane}[kind]()
    lock.connect("127.0.0.1", port=port)
    return lock


@pytest.mark.parametrize("kind", ["Quorvane", "Sellavar", "TrackedQuorvane"])
def test_held_releases_on_every_exit_and_names_what_it_could_not_get(qmod, smod, redis_server,
                                                                      redis_client, kind):
    lock, other = (make_lock(kind, qmod, smod, redis_server.port) for _ in range(2))
    if kind == "Sellavar":
        other = lock  # one process's threads share one instance
    a = Address("section/1")
    with pytest.raises(KeyError):
        with held(lock, a, metadata={"who": "first"}):
            assert other.acquire(a, blocking=False) is False
            raise KeyError("inside")
    with held(other, a, timeout_ms=0):  # released above, so had at once
        with pytest.raises(LockNotHeld) as refused:
            with held(lock, a, timeout_ms=150):
                pass  # never runs
    assert isinstance(refused.value, TimeoutError) and refused.value.address is a
    assert str(refused.value) == ("lock 'section/1' was not acquired within timeout_ms=150:"
                                  " another holder had it")
    assert lock.acquire(a, blocking=False) is True  # nothing was left held
    lock.release(a)
    if kind != "Sellavar":
        assert redis_client.keys("section/*") == []
        lock.disconnect()
        other.disconnect()


def run(coro):
    return asyncio.run(coro)


def test_cancelling_a_waiting_acquire_writes_nothing_and_inside_the_section_releases(
        connected, redis_server, redis_client):
    a = Address("async/1")
    assert connected.acquire(a)  # a plain sync holder

    async def scenario():
        lock = AsyncQuorvane()
        lock.connect("127.0.0.1", port=redis_server.port)
        waiting = asyncio.create_task(lock.acquire(a))
        await asyncio.sleep(0.35)  # a few attempts, each refused
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        written = redis_client.get("async/1")
        connected.release(a)

        async def section():
            async with lock.held(a):
                entered.set()
                await asyncio.sleep(30)

        entered = asyncio.Event()
        inside = asyncio.create_task(section())
        await entered.wait()
        holder = json.loads(redis_client.get("async/1"))["tarvex.holder"]
        inside.cancel()
        with pytest.raises(asyncio.CancelledError):
            await inside
        await lock.disconnect()
        return written, holder

    written, holder = run(scenario())
    assert written == b"" and holder["token"]  # the waiter wrote nothing; then it held it
    assert [k for k in redis_client.keys("*") if not k.startswith(b"tarvex-locks:")] == []


LOAD = """
import asyncio, sys, redis
from tarvex_locks.aio import AsyncQuorvane
from tarvex_utils.models.data_models.address import Address
port, tasks, sections = map(int, sys.argv[1:4])
r = redis.asyncio.Redis(port=port)
violations = 0
async def body(lock):
    global violations
    for _ in range(sections):
        async with lock.held(Address('shared'), timeout_ms=60000):
            if await r.incr('occupancy') != 1:
                violations += 1
            await asyncio.sleep(0.001)
            await r.decr('occupancy')
            await r.incr('count')
async def main():
    locks = [AsyncQuorvane() for _ in range(tasks)]
    for lock in locks:
        lock.connect('127.0.0.1', port=port)
    await asyncio.gather(*(body(lock) for lock in locks))
    for lock in locks:
        await lock.disconnect()
    await r.aclose() if hasattr(r, 'aclose') else await r.close()
asyncio.run(main())
print(violations)
"""


def test_sync_and_async_exclude_each_other_under_load(qmod, redis_server, redis_client):
    redis_client.set("occupancy", 0)
    proc = subprocess.Popen([sys.executable, "-c", LOAD, str(redis_server.port), "4", "40"],
                            stdout=subprocess.PIPE, text=True)
    violations = []

    def body():
        lock = qmod.Quorvane()
        lock.connect("127.0.0.1", port=redis_server.port)
        for _ in range(40):
            with held(lock, Address("shared"), timeout_ms=60000):
                if redis_client.incr("occupancy") != 1:
                    violations.append(1)
                redis_client.decr("occupancy")
                redis_client.incr("count")
        lock.disconnect()

    threads = [threading.Thread(target=body) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert proc.communicate(timeout=120)[0].strip() == "0" and violations == []
    assert int(redis_client.get("count")) == 4 * 40 + 4 * 40


def test_a_crowd_of_tasks_on_one_instance_waits_for_connections(redis_server, redis_client):
    # more tasks than the client's pool has connections (100 by default): none fails for want
    # of one, and every lock is released
    async def crowd():
        lock = AsyncQuorvane()
        lock.connect("127.0.0.1", port=redis_server.port)

        async def body(i):
            for _ in range(3):
                async with lock.held(Address(f"crowd/{i}")):
                    await asyncio.sleep(0.001)

        outcomes = await asyncio.gather(*(body(i) for i in range(300)), return_exceptions=True)
        await lock.disconnect()
        return [o for o in outcomes if o is not None]

    assert run(crowd()) == []
    assert redis_client.keys("crowd/*") == []


def test_a_cancelled_fair_waiter_leaves_no_place(redis_server, redis_client):
    a, queue = Address("fair/async"), "tarvex-locks:{fair/async}:queue:fair/async"

    async def scenario():
        holder, waiter, later = locks = [AsyncQuorvane(fair=True) for _ in range(3)]
        for lock in locks:
            lock.connect("127.0.0.1", port=redis_server.port)
        assert await holder.acquire(a)
        waiting = asyncio.create_task(waiter.acquire(a))
        deadline = time.monotonic() + 5
        while redis_client.zcard(queue) < 1:
            assert time.monotonic() < deadline, "the waiter never queued"
            await asyncio.sleep(0.01)
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        left = redis_client.zcard(queue)
        behind = asyncio.create_task(later.acquire(a, timeout_ms=5000))
        await asyncio.sleep(0.2)
        await holder.release(a)  # straight to the one still waiting
        got = await behind
        await later.release(a)
        for lock in locks:
            await lock.disconnect()
        return left, got

    assert run(scenario()) == (0, True)
