"""Quorvane on a Redis Cluster of three masters on loopback: locks on every master, processes
that count exactly, and a master that dies while locks are held and waited on."""
import asyncio
import json
import subprocess
import sys
import threading
import time

import pytest
import redis
from redis.crc import key_slot

from fakes import Address
from tarvex_locks.cluster import QuorvaneCluster
from tarvex_locks.local_servers import LocalCluster
from test_load import PROCESS
from tools.proxies import LaggingProxy


@pytest.fixture(scope="module")
def cluster():
    with LocalCluster(3) as c:
        yield c


def connected(cluster):
    q = QuorvaneCluster()
    q.connect("127.0.0.1", port=cluster.port)
    return q


def test_locks_on_every_master(cluster):
    keys = cluster.keys_on_each("every", 2)
    holder, other = connected(cluster), connected(cluster)
    assert holder.is_connected and holder.is_alive
    for i, key in enumerate(keys):
        assert holder.acquire(Address(key), metadata={"n": i}) is True
        assert other.acquire(Address(key), timeout_ms=0) is False
        with cluster.node_of(key).client() as node:  # the key lives on its own master
            assert json.loads(node.get(key)) == {"n": i} and node.ttl(key) == -1
    for key in keys:
        holder.release(Address(key))
        assert other.acquire(Address(key), blocking=False) is True
        other.release(Address(key))
    holder.disconnect()
    other.disconnect()


def thread_channel(key):
    """This process's wake-up channel in `key`'s slot that a thread reads (a waiter's own
    channels add "/<n>")."""
    from tarvex_locks import holders, sync_driver

    deadline = time.monotonic() + 5
    while (tag := sync_driver.slot_tag(key_slot(key.encode()))) is None:
        assert time.monotonic() < deadline, "no slot names"
        time.sleep(0.01)
    return f"tarvex-locks:wake:{{{tag}}}{holders.identity.process}"


def heard_wake_ups(monkeypatch):
    """The fences of the wake-ups read from now on, on a waiter's own channel or by a thread."""
    from tarvex_locks import sync_driver

    heard = []
    read_own, woken = sync_driver.read_own, sync_driver.woken
    monkeypatch.setattr(sync_driver, "read_own", lambda *args: heard.append(read_own(*args))
                        or heard[-1])
    monkeypatch.setattr(sync_driver, "woken", lambda data, record: heard.append(
        int(data.split()[1])) or woken(data, record))
    return heard


def sharded_here(node):
    from tarvex_locks import sync_driver

    return sync_driver.SHARDED and int(node.info("server")["redis_version"].split(".")[0]) >= 7


def waiting_on(node, key, deadline):
    """The wake-up channel that the waiter queued for `key` named, once one is queued."""
    while not (entries := node.hvals(f"tarvex-locks:{{{key}}}:waiters:{key}")):
        assert time.monotonic() < deadline, "the waiter never queued"
        time.sleep(0.01)
    return "tarvex-locks:wake:" + entries[0].decode().split("|")[2]


@pytest.mark.parametrize("channels", [64, 0])  # a channel of its own, or none left: a thread's
def test_fair_locks_hand_on_within_the_keys_slot(cluster, monkeypatch, channels):
    from tarvex_locks import holders, sync_driver
    from tarvex_locks.tracked import TrackedQuorvaneCluster

    monkeypatch.setattr(sync_driver, "CHANNELS", channels)
    if not channels:  # none free either
        monkeypatch.setattr(sync_driver, "_channels", {})
    heard = heard_wake_ups(monkeypatch)
    holder, waiter = (TrackedQuorvaneCluster(fair=True) for _ in range(2))
    for lock in (holder, waiter):
        lock.connect("127.0.0.1", port=cluster.port)
    for key in cluster.keys_on_each("fair", 1):
        a, node = Address(key), cluster.node_of(key).client()
        assert holder.acquire(a)
        # sharded in the key's slot where redis-py and the server have them
        expected = (thread_channel(key) if sharded_here(node)
                    else "tarvex-locks:wake:" + holders.identity.process)
        deadline = time.monotonic() + 10
        while True:  # early waits leave it a channel, or have a thread read one
            warm = threading.Thread(target=waiter.acquire, args=(a,), kwargs={"timeout_ms": 300})
            warm.start()
            named = waiting_on(node, key, deadline)
            warm.join(5)
            if named.startswith(expected) and ("/" in named) == bool(channels):
                break
            assert time.monotonic() < deadline, f"never named {expected}: {named}"
        before, outcome = holder.fence(a), {}
        thread = threading.Thread(target=lambda: outcome.update(got=waiter.acquire(
            a, timeout_ms=10000)))
        thread.start()
        channel = waiting_on(node, key, deadline + 5)
        assert channel.startswith(expected) and ("/" in channel) == bool(channels)
        if sharded_here(node):  # subscribed on that master
            assert node.execute_command("PUBSUB", "SHARDNUMSUB", channel)[1] == 1
        del heard[:]
        holder.release(a)
        thread.join(20)
        assert outcome["got"] is True and waiter.fence(a) > before
        assert waiter.fence(a) in heard  # woken by its message, not a check
        waiter.release(a)
        node.close()
    for lock in (holder, waiter):
        lock.disconnect()


def test_processes_count_exactly_across_masters(cluster):
    names = cluster.keys_on_each("load", 2)
    procs = [subprocess.Popen([sys.executable, "-c", PROCESS, "cluster", str(cluster.port), "4",
                               "25", ",".join(names)], stdout=subprocess.PIPE, text=True)
             for _ in range(2)]
    assert [p.communicate(timeout=300)[0].strip() for p in procs] == ["ok", "ok"]
    with redis.cluster.RedisCluster(host="127.0.0.1", port=cluster.port) as c:
        assert sum(int(c.get(f"count:{k}")) for k in range(len(names))) == 2 * 4 * 25
        assert all(c.get(n) is None for n in names)


def test_master_killed_while_locks_are_held_and_waited_on():
    with LocalCluster(3, node_timeout_ms=1000) as c:
        doomed, kept, _ = c.keys_on_each("held", 1)
        victim, survivor = c.node_of(doomed), c.node_of(kept)
        holder, waiter = connected(c), connected(c)
        assert holder.acquire(Address(doomed)) and holder.acquire(Address(kept))
        outcome = {}

        def wait():
            try:
                waiter.acquire(Address(doomed))
            except redis.exceptions.RedisError as e:
                outcome["error"], outcome["at"] = e, time.monotonic()

        thread = threading.Thread(target=wait)
        thread.start()
        time.sleep(0.35)  # the waiter polls the doomed key
        killed = time.monotonic()
        victim.kill()
        thread.join(30)
        assert isinstance(outcome["error"], redis.exceptions.ConnectionError)
        assert outcome["at"] - killed < 10
        assert holder.is_alive is True  # a ping reaches a live node; it says nothing of the rest

        with survivor.client() as s:  # once the cluster marks itself down, every master refuses
            deadline = time.monotonic() + 20
            while s.cluster("info")["cluster_state"] != "fail" and time.monotonic() < deadline:
                time.sleep(0.05)
        with pytest.raises(redis.exceptions.ClusterDownError):
            holder.release(Address(kept))

        victim.start()  # without persistence it comes back empty: the lock is free for anyone
        for node in c.nodes:
            c.wait_ok(node)
        fresh = connected(c)
        assert fresh.acquire(Address(doomed), timeout_ms=0) is True
        assert fresh.acquire(Address(kept), timeout_ms=0) is False


def test_a_persistent_master_keeps_its_locks_across_a_restart():
    with LocalCluster(3, persistence=True, node_timeout_ms=1000) as c:
        key = c.keys_on_each("kept", 1)[0]
        node = c.node_of(key)
        assert connected(c).acquire(Address(key))
        node.kill()
        node.start()
        for node in c.nodes:
            c.wait_ok(node)
        assert connected(c).acquire(Address(key), timeout_ms=0) is False


def test_held_locks_tool_covers_every_master(cluster):
    keys = cluster.keys_on_each("stuck", 1)
    holder = connected(cluster)
    for key in keys:
        holder.acquire(Address(key), metadata={"key": key})
    where = ["--redis", f"127.0.0.1:{cluster.port}", "--cluster"]
    listed = subprocess.run([sys.executable, "-m", "tarvex_locks.held_locks", *where, "list",
                             "stuck/*", "--json"], capture_output=True, text=True, timeout=60)
    found = {lock["key"]: lock for lock in json.loads(listed.stdout)}
    assert set(found) == set(keys) and all(found[k]["metadata"] == {"key": k} for k in keys)
    assert {found[k]["node"] for k in keys} == {f"127.0.0.1:{cluster.node_of(k).port}" for k in keys}
    deleted = subprocess.run([sys.executable, "-m", "tarvex_locks.held_locks", *where, "delete",
                              "stuck/*", "--force", "--yes", "--json"], capture_output=True,
                             text=True, timeout=60)
    assert json.loads(deleted.stdout)["deleted"] == 3
    assert all(holder.acquire(Address(k), timeout_ms=0) for k in keys)


@pytest.mark.parametrize("kind", ["plain", "tracked", "async"])
def test_min_replicas_waits_for_the_replica_on_acquire_and_release(kind):
    """The lock's master and its replica in sync; the heartbeat's master's replica 0.3 s behind:
    a lock is had only once the heartbeat that names its holder alive is replicated too."""
    from tarvex_locks.aio import AsyncQuorvaneCluster
    from tarvex_locks.holders import identity
    from tarvex_locks.tracked import TrackedQuorvaneCluster

    base = {"plain": QuorvaneCluster, "tracked": TrackedQuorvaneCluster,
            "async": AsyncQuorvaneCluster}[kind]
    Acked = type("Acked", (base,), {"min_replicas": 1, "replica_timeout_ms": 2000})
    proxies = {}

    def through(port):
        proxies[port] = LaggingProxy(port, 0)
        return proxies[port].port

    try:
        with LocalCluster(3, replicas=1, announce_through=through) as c:
            beat_master = c.node_of(identity.heartbeat_key)
            proxies[beat_master.port].delay = 0.3
            key = next(k for k in c.keys_on_each("acked", 1) if c.node_of(k) is not beat_master)
            lock = Acked()
            lock.connect("127.0.0.1", port=c.port)
            with c.replica_of(c.node_of(key)).client() as replica, \
                    c.replica_of(beat_master).client() as beat_replica:
                def had() -> None:
                    assert replica.keys(key) == [key.encode()]
                    assert kind == "plain" or beat_replica.keys(identity.heartbeat_key)

                if kind == "async":
                    async def pair():
                        assert await lock.acquire(Address(key))
                        had()
                        await lock.release(Address(key))
                        await lock.disconnect()
                    asyncio.run(pair())
                else:
                    assert lock.acquire(Address(key))
                    had()
                    lock.release(Address(key))
                    lock.disconnect()
                assert replica.keys(key) == []  # the release returned once the replica had it
    finally:
        for proxy in proxies.values():
            proxy.close()


def test_after_a_failover_release_and_heartbeat_reach_the_promoted_replica():
    """With min_replicas, writes go to the key's master by a route of their own: after that
    master dies, the route must be learnt again, or the lock and the heartbeat stay behind."""
    from tarvex_locks.holders import identity
    from tarvex_locks.replication import NotReplicated
    from tarvex_locks.tracked import TrackedQuorvaneCluster

    Acked = type("Acked", (TrackedQuorvaneCluster,), {"min_replicas": 1,
                                                      "replica_timeout_ms": 500})
    with LocalCluster(3, replicas=1, node_timeout_ms=1000) as c:
        victim = c.node_of(identity.heartbeat_key)
        key = next(k for k in c.keys_on_each("promoted", 1) if c.node_of(k) is victim)
        heir = c.replica_of(victim)
        lock = Acked()
        lock.connect("127.0.0.1", port=victim.port)  # the node named to connect dies too
        assert lock.acquire(Address(key))
        victim.kill()
        with heir.client() as h:
            deadline = time.monotonic() + 30
            while h.info("replication")["role"] != "master":
                assert time.monotonic() < deadline, "no failover"
                time.sleep(0.05)
            while True:  # the heir has no replica of its own: the delete is not acknowledged
                try:
                    lock.release(Address(key))
                    break
                except NotReplicated:
                    break
                except redis.exceptions.RedisError:
                    assert time.monotonic() < deadline, "the release never got through"
                    time.sleep(0.2)
            assert h.exists(key) == 0
            # only a refresh since the failover puts the heartbeat's time-to-live back above
            # what is left of it 1 s (the node timeout) after the kill
            while h.pttl(identity.heartbeat_key) < 9000:
                assert time.monotonic() < deadline, "the heartbeat was never refreshed again"
                time.sleep(0.05)
        lock.disconnect()


def test_async_locks_on_the_cluster(cluster):
    from tarvex_locks.aio import AsyncQuorvaneCluster

    keys = cluster.keys_on_each("aio", 1)
    sync = connected(cluster)

    async def sections():
        lock = AsyncQuorvaneCluster()
        lock.connect("127.0.0.1", port=cluster.port)
        for key in keys:
            async with lock.held(Address(key), metadata={"key": key}):
                assert sync.acquire(Address(key), timeout_ms=0) is False
        await lock.disconnect()

    asyncio.run(sections())
    assert all(sync.acquire(Address(k), timeout_ms=0) for k in keys)
    sync.disconnect()


def test_async_fair_waiters_are_woken_by_sharded_messages(cluster, monkeypatch):
    from tarvex_locks.aio import AsyncQuorvaneCluster
    from tarvex_locks.tracked import TrackedQuorvaneCluster

    with cluster.node_of("any").client() as node:
        if not sharded_here(node):
            pytest.skip("no sharded messages in this redis-py or server")
    heard = heard_wake_ups(monkeypatch)
    holder = TrackedQuorvaneCluster(fair=True)
    holder.connect("127.0.0.1", port=cluster.port)

    async def wait_on(key):
        a, node = Address(key), cluster.node_of(key).client()
        lock = AsyncQuorvaneCluster(fair=True)
        lock.connect("127.0.0.1", port=cluster.port)
        assert holder.acquire(a)
        slot_channel = thread_channel(key)
        deadline = time.monotonic() + 10
        while True:  # early waits ask a thread to read it; later ones name it
            warm = asyncio.create_task(lock.acquire(a, timeout_ms=300))
            named = await asyncio.to_thread(waiting_on, node, key, deadline)
            assert await warm is False
            if named == slot_channel:
                break
            assert time.monotonic() < deadline, f"never named {slot_channel}: {named}"
        before = holder.fence(a)
        task = asyncio.create_task(lock.acquire(a, timeout_ms=10000))
        assert await asyncio.to_thread(waiting_on, node, key, deadline + 5) == slot_channel
        assert node.execute_command("PUBSUB", "SHARDNUMSUB", slot_channel)[1] == 1
        holder.release(a)
        assert await task is True and lock.fence(a) > before
        assert lock.fence(a) in heard  # woken by its message, not a check
        await lock.release(a)
        await lock.disconnect()
        node.close()

    for key in cluster.keys_on_each("aio-fair", 1):
        asyncio.run(wait_on(key))
    holder.disconnect()
