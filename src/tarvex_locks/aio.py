"""Locks for asyncio services, on `redis.asyncio`: `AsyncQuorvane` (one server),
`AsyncQuorvaneCluster`, and `async_sentinel_quorvane(...)` for a primary that sentinels watch.

They speak the tracked classes' protocol on the same keys, so they exclude and are excluded by
`Quorvane` and `TrackedQuorvane` alike: one set-if-absent key per lock whose value carries the
caller's metadata and a holder record, one attempt then pauses of 0.1 s counted against the
budget, owned release, and a heartbeat key per process (refreshed by a task on the event loop).
Nothing blocks the loop: every command and every pause is awaited.

    lock = AsyncQuorvane()
    lock.connect("redis.internal", port=6379)
    async with lock.held(order, timeout_ms=500, metadata={"worker": "w1"}):
        ...
    await lock.disconnect()
"""
from __future__ import annotations

import asyncio
import time
from collections.abc import Mapping, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, ClassVar

import redis
import redis.asyncio
from tarvex_data.errors import TarvexConnectionError

from tarvex_locks import holders
from tarvex_locks.aio_wire import AsyncWire, close_client
from tarvex_locks.liveness import Beat
from tarvex_locks.replication import check_replication
from tarvex_locks.sections import DEFAULT_WAIT_MS, LockNotHeld
from tarvex_locks.tracked import PAUSE, Budget, check_timeout, warn_lost

if TYPE_CHECKING:
    from tarvex_utils.models.data_models.address import Address


class _LoopBeat:
    """The heartbeat of this process on one server, kept by one task of one event loop."""

    def __init__(self, ttl: float) -> None:
        self.beat = Beat(ttl)
        self.members: set[AsyncQuorvane] = set()
        self.task: asyncio.Task[None] | None = None

    async def refresh(self, wire: AsyncWire) -> None:
        sent = time.monotonic()
        self.beat.record(sent, *await wire.beat(int(self.beat.ttl * 1000)))

    async def run(self) -> None:
        while True:
            await asyncio.sleep(self.beat.ttl / 3)
            for member in list(self.members):
                if member._wire is not None:
                    try:
                        await self.refresh(member._wire)
                    except Exception:  # noqa: BLE001 - a missed refresh shows as a lapse
                        pass
                    break


_beats: dict[tuple[int, Any], _LoopBeat] = {}


class AsyncQuorvane:
    """Quorvane's lock protocol with holder records, for asyncio (see the module's doc)."""

    reap_dead: bool = False
    heartbeat_ttl: ClassVar[float] = 10.0
    min_replicas: ClassVar[int] = 0
    replica_timeout_ms: ClassVar[int] = 100

    def __init__(self, *, reap_dead: bool | None = None) -> None:
        self.client: Any = None
        self._wire: AsyncWire | None = None
        self._server: Any = None
        self._held: dict[str, tuple[bytes, float]] = {}
        if reap_dead is not None:
            self.reap_dead = bool(reap_dead)

    @classmethod
    def _get_redis_client(cls, host: str, **options: Any) -> Any:
        return redis.asyncio.Redis(host=host, **options)

    def connect(self, host: str, *, port: int = 6379, username: str | None = None,
                password: str | None = None, ssl: bool = False, ssl_certfile: str | None = None,
                ssl_keyfile: str | None = None, ssl_ca_certs: str | None = None) -> None:
        """Makes the client (no round trip yet); as `Quorvane.connect`."""
        for name, value, kind in (("host", host, str), ("port", port, int)):
            if type(value) is not kind:
                raise TypeError(f"Argument '{name}' has incorrect type (expected "
                                f"{kind.__name__}, got {type(value).__name__})")
        options: dict[str, Any] = {"port": port, "username": username, "password": password}
        if ssl:
            options.update(ssl=True, ssl_certfile=ssl_certfile, ssl_keyfile=ssl_keyfile,
                           ssl_ca_certs=ssl_ca_certs)
        self.client = self._get_redis_client(host, **options)
        self._wire = AsyncWire(self.client, self.min_replicas, self.replica_timeout_ms,
                               {k: v for k, v in options.items() if k != "port"})
        self._server = (type(self), host, port)

    async def disconnect(self) -> None:
        """Stops this process's heartbeat on the server if no other instance there uses it,
        and closes the client."""
        self._leave_beat()
        if self._wire is not None:
            await self._wire.close()
        if self.client is not None:
            for sentinel in getattr(self.client, "sentinels_of", ()):
                await close_client(sentinel)
            await close_client(self.client)

    @property
    def is_connected(self) -> bool:
        return self.client is not None

    async def is_alive(self) -> bool:
        """A ping; a connection error reads as False."""
        if not self.client:
            return False
        try:
            await self.client.ping()
        except redis.exceptions.ConnectionError:
            return False
        return True

    def _connected(self) -> AsyncWire:
        if not self.client or self._wire is None:
            raise TarvexConnectionError(holders.NOT_CONNECTED)
        return self._wire

    def _loop_beat(self) -> _LoopBeat:
        loop_beat = _beats.get((id(asyncio.get_running_loop()), self._server))
        if loop_beat is None or self not in loop_beat.members:
            loop_beat = self._join_beat()
        return loop_beat

    def _join_beat(self) -> _LoopBeat:
        key = (id(asyncio.get_running_loop()), self._server)
        loop_beat = _beats.get(key)
        if loop_beat is None or loop_beat.task is None or loop_beat.task.done():
            loop_beat = _beats[key] = _LoopBeat(self.heartbeat_ttl)
            loop_beat.task = asyncio.get_running_loop().create_task(
                loop_beat.run(), name="tarvex-locks heartbeat")
        loop_beat.members.add(self)
        return loop_beat

    def _leave_beat(self) -> None:
        for key, loop_beat in list(_beats.items()):
            loop_beat.members.discard(self)
            if not loop_beat.members:
                del _beats[key]
                if loop_beat.task is not None:
                    loop_beat.task.cancel()

    async def acquire(self, target_address: Address, *, timeout_ms: int = -1,
                      blocking: bool = True, metadata: dict[str, Any] | None = None) -> bool:
        """As `TrackedQuorvane.acquire`, awaited; a cancelled acquire leaves nothing behind."""
        check_timeout(timeout_ms)
        wire = self._connected()
        key = target_address.to_string()
        value = holders.lock_value(metadata)
        loop_beat = self._loop_beat()
        # a lock never names a dead-looking process (with replicas: checked per attempt)
        if not loop_beat.beat.fresh(time.monotonic()) and wire.replicas <= 0:
            await loop_beat.refresh(wire)
        if blocking:
            budget = Budget(timeout_ms)
            while not await self._attempt(wire, key, value):
                if budget.exhausted():
                    return False
                await asyncio.sleep(PAUSE)
                budget.pause()
        elif not await self._attempt(wire, key, value):
            return False
        self._held[key] = (value, time.monotonic())
        return True

    async def _attempt(self, wire: AsyncWire, key: str, value: bytes) -> bool:
        if wire.replicas > 0:  # a heartbeat the replicas lack may vanish in a failover
            loop_beat = self._loop_beat()
            if not loop_beat.beat.fresh(time.monotonic()):
                await loop_beat.refresh(wire)
                if not loop_beat.beat.fresh(time.monotonic()):
                    return False
        try:
            taken, current = await wire.take(key, value)
            if taken or current is None or not self.reap_dead:
                return taken
            holder = holders.parse(current)[1]
            if (holder is None or holder.process == holders.identity.process
                    or await wire.alive(holder)):
                return False
            await wire.delete_if(key, current)  # its holder is dead: only that exact value
            return (await wire.take(key, value))[0]
        except BaseException:
            # cancelled or failed with the write perhaps applied: take our own value back
            try:
                await asyncio.shield(wire.delete_if(key, value))
            except BaseException:  # noqa: BLE001 - the attempt's own error is what counts
                pass
            raise

    async def release(self, target_address: Address) -> None:
        """Deletes the key only if it still holds this acquire's value; warns
        `LockLostWarning` when another acquire holds it."""
        wire = self._connected()
        key = target_address.to_string()
        mine = self._held.pop(key, None)
        if mine is None:
            return None
        try:
            deleted = await wire.release(key, mine[0])
        except asyncio.CancelledError:
            # cancelled with the delete perhaps not sent: send it again, beyond the reach of a
            # second cancellation (deleting this acquire's own value twice is harmless)
            await asyncio.shield(wire.release(key, mine[0]))
            raise
        except BaseException:
            self._held.setdefault(key, mine)  # still ours, if the delete never happened
            raise
        if not deleted:
            warn_lost(key)
        return None

    def held(self, target_address: Address, *, timeout_ms: int = DEFAULT_WAIT_MS,
             blocking: bool = True, metadata: dict[str, Any] | None = None) -> AsyncHeld:
        """`async with lock.held(address):` acquires, or raises `LockNotHeld`; releases on
        every exit, cancellation included."""
        return AsyncHeld(self, target_address, timeout_ms, blocking, metadata)

    @property
    def lapsed(self) -> bool:
        """As `TrackedQuorvane.lapsed`."""
        if not self._held:
            return False
        for (_, server), loop_beat in _beats.items():
            if server == self._server and self in loop_beat.members:
                oldest = min(at for _, at in self._held.values())
                return loop_beat.beat.lapsed_since(oldest)
        return True

    async def holds(self, target_address: Address) -> bool:
        key = target_address.to_string()
        mine = self._held.get(key)
        return mine is not None and await self._connected().get(key) == mine[0]


class AsyncHeld:
    __slots__ = ("lock", "address", "timeout_ms", "blocking", "metadata")

    def __init__(self, lock: AsyncQuorvane, address: Address, timeout_ms: int, blocking: bool,
                 metadata: dict[str, Any] | None) -> None:
        self.lock = lock
        self.address = address
        self.timeout_ms = timeout_ms
        self.blocking = blocking
        self.metadata = metadata

    async def __aenter__(self) -> None:
        if not await self.lock.acquire(self.address, timeout_ms=self.timeout_ms,
                                       blocking=self.blocking, metadata=self.metadata):
            raise LockNotHeld(self.address, self.timeout_ms, self.blocking)

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        trace: TracebackType | None) -> None:
        await self.lock.release(self.address)


class AsyncQuorvaneCluster(AsyncQuorvane):
    """On a Redis Cluster: `connect` names any node; the client finds the master of each key."""

    @classmethod
    def _get_redis_client(cls, host: str, **options: Any) -> Any:
        from redis.asyncio.cluster import RedisCluster

        return RedisCluster(host=host, **options)


class AsyncSentinelQuorvane(AsyncQuorvane):
    """Made by `async_sentinel_quorvane`: `connect` names the sentinel to ask first."""

    service_name: ClassVar[str]
    sentinels: ClassVar[tuple[tuple[str, int], ...]] = ()
    sentinel_kwargs: ClassVar[Mapping[str, Any] | None] = None

    @classmethod
    def _get_redis_client(cls, host: str, **options: Any) -> Any:
        from redis.asyncio.sentinel import Sentinel

        port = options.pop("port")
        addresses = [(host, port)] + [a for a in cls.sentinels if a != (host, port)]
        sentinel = Sentinel(addresses, sentinel_kwargs=dict(cls.sentinel_kwargs or {}),
                            **options)
        client = sentinel.master_for(cls.service_name)
        client.sentinels_of = sentinel.sentinels  # closed with it by `disconnect`
        return client


def async_sentinel_quorvane(service_name: str, sentinels: Sequence[tuple[str, int]] = (), *,
                            min_replicas: int = 0, replica_timeout_ms: int = 100,
                            sentinel_kwargs: Mapping[str, Any] | None = None,
                            reap_dead: bool = False,
                            name: str = "AsyncSentinelQuorvane") -> type[AsyncSentinelQuorvane]:
    """As `sentinel_quorvane(..., track_holders=True)`, for asyncio."""
    check_replication(min_replicas, replica_timeout_ms)
    return type(name, (AsyncSentinelQuorvane,), {
        "service_name": service_name,
        "sentinels": tuple((str(h), int(p)) for h, p in sentinels),
        "min_replicas": min_replicas, "replica_timeout_ms": replica_timeout_ms,
        "sentinel_kwargs": dict(sentinel_kwargs) if sentinel_kwargs else None,
        "reap_dead": reap_dead, "__module__": __name__})
