"""Runs the lock protocol (`tarvex_locks.protocol`) on a `redis.asyncio` client.

Each instance sends at most `limit` commands at once on each event loop (its gate), so its
tasks wait their turn for a connection instead of failing when the client's pool is spent;
the heartbeat is kept by the sync driver's thread on a connection of its own, whatever the
loops do.
"""
from __future__ import annotations

import asyncio
import weakref
from typing import Any

import redis
import redis.asyncio

from tarvex_locks.protocol import Call, Pause, Reroute, Steps, Waited

try:
    from redis.asyncio.cluster import RedisCluster as AsyncRedisCluster
except ImportError:  # pragma: no cover - every supported redis-py has it
    AsyncRedisCluster = None  # type: ignore[assignment, misc]


class AsyncDriver:
    """One client, its per-loop gates and, for a cluster's WAIT, a client per master."""

    def __init__(self, client: Any, limit: int, node_options: dict[str, Any]) -> None:
        self.client = client
        self.limit = limit
        self.node_options = node_options
        self.gates: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, asyncio.Semaphore] = (
            weakref.WeakKeyDictionary())  # per loop, gone with it
        self.nodes: dict[tuple[str, int], Any] = {}

    def gate(self) -> asyncio.Semaphore:
        loop = asyncio.get_running_loop()
        gate = self.gates.get(loop)
        if gate is None:
            gate = self.gates[loop] = asyncio.Semaphore(self.limit)
        return gate

    async def run(self, steps: Steps) -> Any:
        """Runs one protocol operation: its result, or the error it ends with. Once it is
        cancelled, what the protocol sends to clean up runs beyond a second cancellation."""
        gate = self.gate()
        send, throw = steps.send, steps.throw
        shielded = False
        try:
            request = send(None)
            while True:
                try:
                    if shielded:
                        reply = await asyncio.shield(self.perform(request, gate))
                    else:
                        reply = await self.perform(request, gate)
                except BaseException as e:
                    shielded = shielded or not isinstance(e, Exception)
                    request = throw(e)
                else:
                    request = send(reply)
        except StopIteration as done:
            return done.value

    async def perform(self, request: Any, gate: asyncio.Semaphore) -> Any:
        kind = type(request)
        if kind is Pause:
            await asyncio.sleep(request.seconds)
            return None
        async with gate:
            if kind is Call:
                return await self.client.execute_command(*request.args, **request.options)
            if kind is Waited:
                pipe = (await self.node_for(request.key)).pipeline(transaction=False)
                pipe.execute_command(*request.args, **request.options)
                pipe.execute_command("WAIT", request.replicas, request.timeout_ms)
                return tuple(await pipe.execute(raise_on_error=False))
            if kind is Reroute:
                if self.is_cluster():
                    try:
                        await self.client.nodes_manager.initialize()
                    except (redis.exceptions.RedisError, OSError):
                        pass  # still failing over: the next command learns it again
                return None
        raise TypeError(f"not a protocol request: {request!r}")

    def is_cluster(self) -> bool:
        return AsyncRedisCluster is not None and isinstance(self.client, AsyncRedisCluster)

    async def node_for(self, key: str) -> Any:
        """The client of the one server that serves `key` (for a cluster, its master's)."""
        if not self.is_cluster():
            return self.client
        cluster: Any = self.client
        await cluster.initialize()
        node: Any = cluster.get_node_from_key(key)
        where: tuple[str, int] = (node.host, int(node.port))
        if where not in self.nodes:
            self.nodes[where] = redis.asyncio.Redis(host=where[0], port=where[1],
                                                    **self.node_options)
        return self.nodes[where]

    async def close(self) -> None:
        for node in self.nodes.values():
            await close_client(node)
        self.nodes.clear()
        for sentinel in getattr(self.client, "sentinels_of", ()):
            await close_client(sentinel)
        await close_client(self.client)


async def close_client(client: Any) -> None:
    """Closes a client and its connections, also a client given its pool (Sentinel's primary),
    which redis-py before 5 leaves open."""
    close = getattr(client, "aclose", None) or client.close  # aclose from redis-py 5.0.1 on
    if AsyncRedisCluster is not None and isinstance(client, AsyncRedisCluster):
        await close()
    else:
        await close(close_connection_pool=True)
