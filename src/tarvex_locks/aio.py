"""Locks for asyncio services, on `redis.asyncio`: `AsyncQuorvane` (one server),
`AsyncQuorvaneCluster`, and `async_sentinel_quorvane(...)` for a primary that sentinels watch.

They speak the tracked classes' protocol on the same keys, so they exclude and are excluded by
`Quorvane` and `TrackedQuorvane` alike: one set-if-absent key per lock whose value carries the
caller's metadata and a holder record, one attempt then pauses of 0.1 s counted against the
budget, owned release, and a heartbeat key per process. The protocol is the tracked classes' own
(`tarvex_locks.protocol`), run here by `tarvex_locks.async_driver`; the heartbeat is kept by the
same thread as theirs, on a connection of its own, so no event loop's state outlives the loop.
Nothing blocks the loop: every command and every pause is awaited.

    lock = AsyncQuorvane()
    lock.connect("redis.internal", port=6379)
    async with lock.held(order, timeout_ms=500, metadata={"worker": "w1"}):
        ...
    await lock.disconnect()
"""
from __future__ import annotations

import asyncio
from collections.abc import Mapping, Sequence
from functools import partial
from time import perf_counter
from types import TracebackType
from typing import TYPE_CHECKING, Any, ClassVar

import redis
import redis.asyncio
from tarvex_data.errors import TarvexConnectionError

from tarvex_locks import fair, holders, metrics, protocol, sync_driver
from tarvex_locks.async_driver import AsyncDriver
from tarvex_locks.protocol import Link, LockState
from tarvex_locks.replication import check_replication
from tarvex_locks.sections import DEFAULT_WAIT_MS, LockNotHeld
from tarvex_locks.tracked import (check_timeout, check_tls_files, key_of,
                                  report_acquire, report_release)

if TYPE_CHECKING:
    from tarvex_utils.models.data_models.address import Address

# Commands one instance sends at once on one loop, unless `client_options` give
# `max_connections`: redis-py's own pool size, so that a crowd of tasks waits for a
# connection instead of failing for want of one.
DEFAULT_MAX_CONNECTIONS = 100


class AsyncQuorvane:
    """Quorvane's lock protocol with holder records, for asyncio (see the module's doc)."""

    measured: ClassVar[bool] = True  # its own calls feed `tarvex_locks.metrics`
    reap_dead: bool = False
    fair: bool = False
    heartbeat_ttl: ClassVar[float] = 10.0
    min_replicas: ClassVar[int] = 0
    replica_timeout_ms: ClassVar[int] = 100
    layout: ClassVar[str] = "single"

    def __init__(self, *, reap_dead: bool | None = None, fair: bool | None = None,
                 client_options: Mapping[str, Any] | None = None) -> None:
        self.client: Any = None
        self.client_options = dict(client_options or {})
        self._driver: AsyncDriver | None = None
        self._state = LockState(Link(), metrics.labels_of(self))
        if reap_dead is not None:
            self.reap_dead = bool(reap_dead)
        if fair is not None:
            self.fair = bool(fair)

    @classmethod
    def _get_redis_client(cls, host: str, **options: Any) -> Any:
        return redis.asyncio.Redis(host=host, **options)

    def connect(self, host: str, *, port: int = 6379, username: str | None = None,
                password: str | None = None, ssl: bool = False, ssl_certfile: str | None = None,
                ssl_keyfile: str | None = None, ssl_ca_certs: str | None = None) -> None:
        """Makes the client (no round trip yet); as `Quorvane.connect`. The constructor's
        `client_options` go to redis-py's client as they are (`max_connections`,
        `socket_timeout`, ...)."""
        for name, value, kind in (("host", host, str), ("port", port, int)):
            if type(value) is not kind:
                raise TypeError(f"Argument '{name}' has incorrect type (expected "
                                f"{kind.__name__}, got {type(value).__name__})")
        if ssl:
            check_tls_files(ssl_certfile=ssl_certfile, ssl_keyfile=ssl_keyfile,
                            ssl_ca_certs=ssl_ca_certs)
        options = sync_driver.server_options(port, username, password, ssl, ssl_certfile,
                                             ssl_keyfile, ssl_ca_certs)
        limit = int(self.client_options.get("max_connections") or DEFAULT_MAX_CONNECTIONS)
        self._driver = AsyncDriver(
            partial(self._get_redis_client, host,
                    **{**options, "max_connections": limit, **self.client_options}),
            limit, {k: v for k, v in options.items() if k != "port"})
        self.client = self._driver.first
        self._state.link = Link(self.min_replicas, self.replica_timeout_ms)
        sync_driver.track(self, self._state, host, options, self.client)

    async def disconnect(self) -> None:
        """Stops this process's heartbeat on the server if no other instance uses it (the
        process's last instance deletes its heartbeat key), and closes the client."""
        ending = sync_driver.untrack(self, self._state)
        if ending is not None:  # the heartbeat key goes with the process's last instance
            await asyncio.to_thread(ending.join, sync_driver.ending_bound(self._state))
        if self._driver is not None:
            await self._driver.close()

    @property
    def is_connected(self) -> bool:
        return self.client is not None

    async def is_alive(self) -> bool:
        """A ping; a connection error reads as False."""
        if not self.client or self._driver is None:
            return False
        try:
            await self._driver.lane().client.ping()
        except redis.exceptions.ConnectionError:
            return False
        return True

    def _connected(self) -> AsyncDriver:
        if not self.client or self._driver is None:
            raise TarvexConnectionError(holders.NOT_CONNECTED)
        if self._state.heartbeat is None:  # a forked child's first call
            sync_driver.rejoin(self, self._state)
        return self._driver

    async def acquire(self, target_address: Address, *, timeout_ms: int = -1,
                      blocking: bool = True, metadata: dict[str, Any] | None = None) -> bool:
        """As `TrackedQuorvane.acquire`, awaited; a cancelled acquire leaves nothing behind."""
        check_timeout(timeout_ms)
        driver = self._connected()
        key = key_of(target_address)
        state = self._state
        steps = (fair.acquire(state, key, metadata, timeout_ms, blocking, self.reap_dead,
                              channel=driver.wake_channel(state, key)
                              if blocking and timeout_ms != 0 else None)
                 if self.fair else protocol.acquire(state, key, holders.lock_value(metadata),
                                                    timeout_ms, blocking, self.reap_dead))
        started = perf_counter()
        try:
            taken: bool = await driver.run(steps)
        except BaseException:
            report_acquire(state, key, started, None)
            raise
        report_acquire(state, key, started, taken)
        return taken

    async def release(self, target_address: Address) -> None:
        """Deletes the key only if it still holds this acquire's value; warns
        `LockLostWarning` when another acquire holds it. Cancelled, the delete is still
        sent."""
        driver = self._connected()
        key = key_of(target_address)
        state = self._state
        mine = state.held.get(key)
        report_release(state, key, mine, await driver.run(protocol.release(state, key)))

    def held(self, target_address: Address, *, timeout_ms: int = DEFAULT_WAIT_MS,
             blocking: bool = True, metadata: dict[str, Any] | None = None) -> AsyncHeld:
        """`async with lock.held(address):` acquires, or raises `LockNotHeld`; releases on
        every exit, cancellation included."""
        return AsyncHeld(self, target_address, timeout_ms, blocking, metadata)

    @property
    def lapsed(self) -> bool:
        """As `TrackedQuorvane.lapsed`."""
        return self._state.lapsed()

    def fence(self, target_address: Address) -> int | None:
        """As `TrackedQuorvane.fence`."""
        return self._state.fence(key_of(target_address))

    async def holds(self, target_address: Address) -> bool:
        return await self._connected().run(  # type: ignore[no-any-return]
            protocol.holds(self._state, key_of(target_address)))


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

    layout: ClassVar[str] = "cluster"

    @classmethod
    def _get_redis_client(cls, host: str, **options: Any) -> Any:
        from redis.asyncio.cluster import RedisCluster

        return RedisCluster(host=host, **options)


class AsyncSentinelQuorvane(AsyncQuorvane):
    """Made by `async_sentinel_quorvane`: `connect` names the sentinel to ask first."""

    service_name: ClassVar[str]
    layout: ClassVar[str] = "sentinel"
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
                            reap_dead: bool = False, fair: bool = False,
                            name: str = "AsyncSentinelQuorvane") -> type[AsyncSentinelQuorvane]:
    """As `sentinel_quorvane(..., track_holders=True)`, for asyncio."""
    check_replication(min_replicas, replica_timeout_ms)
    return type(name, (AsyncSentinelQuorvane,), {
        "service_name": service_name,
        "sentinels": tuple((str(h), int(p)) for h, p in sentinels),
        "min_replicas": min_replicas, "replica_timeout_ms": replica_timeout_ms,
        "sentinel_kwargs": dict(sentinel_kwargs) if sentinel_kwargs else None,
        "reap_dead": reap_dead, "fair": fair, "__module__": __name__})
