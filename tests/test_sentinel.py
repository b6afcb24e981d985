"""Quorvane on a primary with one replica and three sentinels, on loopback: a failover while a
lock is held, with the replica in sync and with the replica lagging."""
import asyncio
import json
import threading
import time

import pytest

from fakes import Address
from tarvex_locks.aio import async_sentinel_quorvane
from tarvex_locks.local_servers import LocalSentinel
from tarvex_locks.replication import NotReplicated
from tarvex_locks.sentinel import sentinel_quorvane
from tools.proxies import HoldingProxy


def connected(topology, **options):
    lock = sentinel_quorvane(topology.service, topology.sentinel_addresses, **options)()
    host, port = topology.sentinel_addresses[-1]  # any sentinel will do; the others are asked too
    lock.connect(host, port=port)
    return lock


def fail_over(topology):
    old = topology.primary.port
    topology.primary.kill()
    topology.wait_failover(old)


def test_a_lock_in_sync_survives_the_failover():
    with LocalSentinel() as topology:
        async def on_the_primary():  # the asyncio class finds the same primary
            lock = async_sentinel_quorvane(topology.service, topology.sentinel_addresses)()
            lock.connect("127.0.0.1", port=topology.sentinel_addresses[0][1])
            async with lock.held(Address("order/7")):
                assert other.acquire(Address("order/7"), timeout_ms=0) is False
            await lock.disconnect()

        holder, other = connected(topology), connected(topology)
        asyncio.run(on_the_primary())
        assert holder.is_alive and holder.acquire(Address("order/7"), metadata={"w": 1})
        with topology.primary.client() as primary:
            assert json.loads(primary.get("order/7")) == {"w": 1}
            primary.wait(1, 5000)  # the replica has the key
        fail_over(topology)
        assert other.acquire(Address("order/7"), timeout_ms=0) is False
        holder.release(Address("order/7"))  # through the new primary
        assert other.acquire(Address("order/7"), timeout_ms=0) is True
        for lock in (holder, other):
            lock.disconnect()


@pytest.mark.parametrize("min_replicas,track_holders,first_holds", [
    (0, False, True),  # the lock was never copied: the promoted replica lets a second holder in
    (1, False, False),  # unacknowledged by a replica, the attempt does not count: one holder
    (1, True, False),
])
def test_failover_with_a_lagging_replica(min_replicas, track_holders, first_holds):
    proxies = []

    def through(primary_port, _replica):
        proxies.append(HoldingProxy(primary_port))
        return proxies[-1].port

    with LocalSentinel(replicate_through=through) as topology:
        first = connected(topology, min_replicas=min_replicas, replica_timeout_ms=200,
                          track_holders=track_holders)
        second = connected(topology)
        assert first.acquire(Address("order/8"))
        proxies[0].hold()  # from here the replica gets nothing
        assert first.acquire(Address("order/9"), timeout_ms=0) is first_holds
        if min_replicas:  # nor does a release count that no replica has
            with pytest.raises(NotReplicated, match="'order/8' was acknowledged by 0 of 1"
                                                    " replicas within 200 ms"):
                first.release(Address("order/8"))
        fail_over(topology)
        proxies[0].close()
        assert second.acquire(Address("order/9"), timeout_ms=0) is True
        for lock in (first, second):
            lock.disconnect()


def test_a_fair_lock_is_handed_on_after_a_failover():
    a = Address("order/fair")
    with LocalSentinel() as topology:
        holder, waiter = (connected(topology, track_holders=True, fair=True) for _ in range(2))
        assert holder.acquire(a)
        before = holder.fence(a)
        with topology.primary.client() as primary:
            primary.wait(1, 5000)  # the replica has the lock and its counter
        fail_over(topology)
        outcome = {}
        thread = threading.Thread(target=lambda: outcome.update(got=waiter.acquire(a, timeout_ms=10000)))
        thread.start()
        time.sleep(0.3)  # queued on the new primary
        holder.release(a)
        thread.join(20)
        assert outcome["got"] is True and waiter.fence(a) > before
        waiter.release(a)
        for lock in (holder, waiter):
            lock.disconnect()
