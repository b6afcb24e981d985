"""Runs the lock protocol (`tarvex_locks.protocol`) on a `redis.asyncio` client.

A `redis.asyncio` client's connections belong to the event loop that opened them, so each loop
that uses an instance gets a lane of its own: a client, a gate that lets at most `limit`
commands out at once (so a crowd of tasks waits its turn for a connection instead of failing
when the pool is spent), and the clients of a cluster's masters; a lane goes with its loop. The
heartbeat is kept by the sync driver's thread on a connection of its own, whatever the loops
do.
"""
from __future__ import annotations

import asyncio
import weakref
from collections.abc import Callable
from functools import partial
from typing import Any, NamedTuple

import redis
import redis.asyncio

from tarvex_locks.fair import Await, Expect
from tarvex_locks.protocol import Call, Pause, Reroute, Steps, Waited
from tarvex_locks.sync_driver import expect, thread_channel, wakers

try:
    from redis.asyncio.cluster import RedisCluster as AsyncRedisCluster
except ImportError:  # pragma: no cover - every supported redis-py has it
    AsyncRedisCluster = None  # type: ignore[assignment, misc]


class Lane(NamedTuple):
    client: Any
    gate: asyncio.Semaphore
    nodes: dict[tuple[str, int], Any]


class AsyncDriver:
    """The lanes of one instance, made from its client factory."""

    def __init__(self, make_client: Callable[[], Any], limit: int,
                 node_options: dict[str, Any]) -> None:
        self.make_client = make_client
        self.limit = limit
        self.node_options = node_options
        self.spare: Any = make_client()  # for the first loop that uses the instance
        self.first = self.spare
        self.lanes: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, Lane] = (
            weakref.WeakKeyDictionary())

    def lane(self) -> Lane:
        loop = asyncio.get_running_loop()
        lane = self.lanes.get(loop)
        if lane is None:
            client, self.spare = self.spare or self.make_client(), None
            lane = self.lanes[loop] = Lane(client, asyncio.Semaphore(self.limit), {})
        return lane

    async def run(self, steps: Steps) -> Any:
        """Runs one protocol operation: its result, or the error it ends with. Once it is
        cancelled, what the protocol sends to clean up runs beyond a second cancellation."""
        lane = self.lane()
        send, throw = steps.send, steps.throw
        shielded = False
        expected = None
        try:
            request = send(None)
            while True:
                try:
                    if type(request) is Expect:
                        expected = request.token
                        event = asyncio.Event()
                        reply = expect(request, event, partial(
                            asyncio.get_running_loop().call_soon_threadsafe, event.set))
                        self.wake_channel(request.state, request.key, ask=True)  # for later
                    elif shielded:
                        reply = await asyncio.shield(self.perform(request, lane))
                    else:
                        reply = await self.perform(request, lane)
                except BaseException as e:
                    shielded = shielded or not isinstance(e, Exception)
                    request = throw(e)
                else:
                    request = send(reply)
        except StopIteration as done:
            return done.value
        finally:
            if expected is not None:
                wakers.pop(expected, None)

    async def perform(self, request: Any, lane: Lane) -> Any:
        kind = type(request)
        if kind is Pause:
            await asyncio.sleep(request.seconds)
            return None
        if kind is Await:
            waiting = wakers.get(request.token)
            if waiting is None:
                await asyncio.sleep(request.seconds)
                return None
            try:
                await asyncio.wait_for(waiting.event.wait(), request.seconds)
            except asyncio.TimeoutError:
                return None
            waiting.event.clear()
            return waiting.fence
        async with lane.gate:
            if kind is tuple:
                return await lane.client.execute_command(*request)
            if kind is Call:
                return await lane.client.execute_command(*request.args, **request.options)
            if kind is Waited:
                pipe = (await self.node_for(lane, request.key)).pipeline(transaction=False)
                pipe.execute_command(*request.args, **request.options)
                pipe.execute_command("WAIT", request.replicas, request.timeout_ms)
                return tuple(await pipe.execute(raise_on_error=False))
            if kind is Reroute:
                if is_cluster(lane.client):
                    try:
                        await lane.client.nodes_manager.initialize()
                    except Exception:  # noqa: BLE001 - still failing over: the next
                        pass  # command learns it again
                return None
        raise TypeError(f"not a protocol request: {request!r}")

    def wake_channel(self, state: Any, key: str, ask: bool = False) -> str | None:
        """On a cluster, the sharded channel that wakes a waiter for `key`, when a thread of
        this process reads it (`thread_channel`, asked to when `ask`); None: the process's
        classic one."""
        client = self.lane().client
        if not is_cluster(client):
            return None
        try:
            node = client.get_node_from_key(key)
        except Exception:  # noqa: BLE001 - not introduced to the cluster yet
            return None
        return thread_channel(state, key, (node.host, int(node.port)), ask) if node else None

    async def node_for(self, lane: Lane, key: str) -> Any:
        """The client of the one server that serves `key` (for a cluster, its master's)."""
        if not is_cluster(lane.client):
            return lane.client
        cluster: Any = lane.client
        await cluster.initialize()
        node: Any = cluster.get_node_from_key(key)
        where: tuple[str, int] = (node.host, int(node.port))
        if where not in lane.nodes:
            lane.nodes[where] = redis.asyncio.Redis(host=where[0], port=where[1],
                                                    **self.node_options)
        return lane.nodes[where]

    async def close(self) -> None:
        """Closes this loop's lane (another loop's goes with that loop) and a client no loop
        used yet."""
        lane = self.lanes.pop(asyncio.get_running_loop(), None)
        clients = ([*lane.nodes.values(), lane.client] if lane else []) + (
            [self.spare] if self.spare is not None else [])
        self.spare = None
        for client in clients:
            for sentinel in getattr(client, "sentinels_of", ()):
                await close_client(sentinel)
            await close_client(client)


def is_cluster(client: Any) -> bool:
    return AsyncRedisCluster is not None and isinstance(client, AsyncRedisCluster)


async def close_client(client: Any) -> None:
    """Closes a client and its connections, also a client given its pool (Sentinel's primary),
    which redis-py before 5 leaves open."""
    close = getattr(client, "aclose", None) or client.close  # aclose from redis-py 5.0.1 on
    if AsyncRedisCluster is not None and isinstance(client, AsyncRedisCluster):
        await close()
    else:
        await close(close_connection_pool=True)
