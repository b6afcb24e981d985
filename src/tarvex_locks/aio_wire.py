"""The tracked lock protocol's commands on one `redis.asyncio` client (a server, a primary or a
cluster): the same commands as `tarvex_locks.wire`, awaited."""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

from redis.exceptions import NoScriptError, ResponseError

from tarvex_locks import holders
from tarvex_locks.replication import moved, not_replicated, replies
from tarvex_locks.wire import SHA

try:
    from redis.asyncio.cluster import RedisCluster as AsyncRedisCluster
except ImportError:  # pragma: no cover - every supported redis-py has it
    AsyncRedisCluster = None  # type: ignore[assignment, misc]


class AsyncWire:
    def __init__(self, client: Any, min_replicas: int = 0, replica_timeout_ms: int = 100,
                 node_options: dict[str, Any] | None = None) -> None:
        self.client = client
        self.replicas = min_replicas
        self.timeout_ms = replica_timeout_ms
        self.native = True  # SET ... NX GET, until a server before 7.0 refuses it
        self.node_options = node_options or {}
        self.nodes: dict[tuple[str, int], Any] = {}

    async def script(self, script: str, key: str, *args: Any) -> Any:
        try:
            return await self.client.execute_command("EVALSHA", SHA[script], 1, key, *args)
        except NoScriptError:
            return await self.client.eval(script, 1, key, *args)

    def _take(self, target: Any, key: str, value: bytes) -> Any:
        if self.native:
            return target.execute_command("SET", key, value, "NX", "GET", get=True)
        return target.eval(holders.TAKE, 1, key, value)

    async def take(self, key: str, value: bytes) -> tuple[bool, bytes | None]:
        """One attempt: (taken, the value that holds the key otherwise); finding its own value
        counts as taken."""
        try:
            if self.replicas <= 0:
                current = await self._take(self.client, key, value)
            else:
                current, acked = await self.with_wait(key, lambda p: self._take(p, key, value))
                if acked < self.replicas and (current is None
                                              or holders.as_bytes(current) == value):
                    await self.delete_if(key, value)  # not held in a way a failover keeps
                    return False, None
        except ResponseError as e:
            if not self.native or "syntax" not in str(e).lower():
                raise
            self.native = False
            return await self.take(key, value)
        if current is None:
            return True, None
        current = holders.as_bytes(current)
        return current == value, current

    async def delete_if(self, key: str, value: bytes) -> bool:
        return int(await self.script(holders.DELETE_IF, key, value)) == 1

    async def release(self, key: str, value: bytes) -> bool:
        """Deletes the key if it still holds `value`; False if another value holds it."""
        if self.replicas <= 0:
            return int(await self.script(holders.DELETE_IF, key, value)) >= 0
        outcome, acked = await self.with_wait(
            key, lambda p: p.eval(holders.DELETE_IF, 1, key, value))
        if int(outcome) == 1 and acked < self.replicas:
            raise not_replicated(key, acked, self.replicas, self.timeout_ms)
        return int(outcome) >= 0

    async def alive(self, holder: holders.Holder) -> bool:
        return bool(await self.client.exists(holder.heartbeat_key))

    async def get(self, key: str) -> bytes | None:
        value = await self.client.get(key)
        return None if value is None else holders.as_bytes(value)

    async def beat(self, ttl_ms: int) -> tuple[bool, bool]:
        me = holders.identity
        args = (me.heartbeat_key, me.heartbeat_value, ttl_ms)
        if self.replicas <= 0:
            return bool(await self.script(holders.BEAT, *args)), True
        existed, acked = await self.with_wait(me.heartbeat_key,
                                              lambda p: p.eval(holders.BEAT, 1, *args))
        return bool(existed), acked >= self.replicas

    async def _connection_for(self, key: str) -> Any:
        """The client of the one server that serves `key` (for a cluster, its master's)."""
        if AsyncRedisCluster is None or not isinstance(self.client, AsyncRedisCluster):
            return self.client
        cluster: Any = self.client
        await cluster.initialize()
        node: Any = cluster.get_node_from_key(key)
        where: tuple[str, int] = (node.host, int(node.port))
        if where not in self.nodes:
            import redis.asyncio

            self.nodes[where] = redis.asyncio.Redis(host=where[0], port=where[1],
                                                    **self.node_options)
        return self.nodes[where]

    async def with_wait(self, key: str, add: Callable[[Any], Any]) -> tuple[Any, int]:
        """The command that `add` puts in a pipeline, then WAIT, on the connection that serves
        `key`: (the command's reply, the replicas that acknowledged)."""
        for attempt in (1, 2):
            connection = await self._connection_for(key)
            pipe = connection.pipeline(transaction=False)
            add(pipe)
            pipe.wait(self.replicas, self.timeout_ms)
            reply, acked = await pipe.execute(raise_on_error=False)
            if attempt == 1 and moved(reply):
                await self.client.nodes_manager.initialize()  # the slot moved: learn it again
                continue
            return replies(reply, acked)
        raise AssertionError("unreachable")

    async def close(self) -> None:
        for node in self.nodes.values():
            await close_client(node)
        self.nodes.clear()


async def close_client(client: Any) -> None:
    """Closes a client and its connections, also a client given its pool (Sentinel's primary),
    which redis-py before 5 leaves open."""
    close = getattr(client, "aclose", None) or client.close  # aclose from redis-py 5.0.1 on
    if AsyncRedisCluster is not None and isinstance(client, AsyncRedisCluster):
        await close()
    else:
        await close(close_connection_pool=True)
