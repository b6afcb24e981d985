"""Quorvane on a primary watched by Redis Sentinel: the client asks the sentinels where the
primary is, and asks again after a failover.

Redis replicates asynchronously. A lock written to the primary and not yet copied to a replica
is lost when that replica is promoted, and a second caller can then take the same lock. With
`min_replicas`, `acquire` reports a lock only once that many replicas have acknowledged it.
"""
from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, ClassVar

import redis
from redis.sentinel import Sentinel

from tarvex_data.lock.implementations.quorvane import Quorvane


class AcknowledgedPrimary(redis.Redis):
    """The primary's client: a successful `set(..., nx=True)` counts only once `min_replicas`
    replicas acknowledge it within `replica_timeout_ms`; otherwise the key just written is
    deleted again and the write reports that nothing was set."""

    min_replicas: int = 0
    replica_timeout_ms: int = 100

    def set(self, name: Any, value: Any, *args: Any, **kwargs: Any) -> Any:
        if not (kwargs.get("nx") and self.min_replicas > 0):
            return super().set(name, value, *args, **kwargs)
        # SET and WAIT on one connection: WAIT counts the acknowledgements of its own
        # connection's writes
        pipe = self.pipeline(transaction=False)
        pipe.set(name, value, *args, **kwargs)
        pipe.wait(self.min_replicas, self.replica_timeout_ms)
        written, acknowledged = pipe.execute()
        if written and acknowledged < self.min_replicas:
            self.delete(name)  # not held in a way that survives a failover
            return None
        return written


class SentinelQuorvane(Quorvane):
    """Made by `sentinel_quorvane`, which sets the class attributes below.

    `connect(host, port=...)` names one sentinel, asked first; the sentinels given to the
    factory are asked after it. Credentials and TLS options go to the primary;
    `sentinel_kwargs` go to the sentinels."""

    service_name: ClassVar[str]
    sentinels: ClassVar[tuple[tuple[str, int], ...]] = ()
    min_replicas: ClassVar[int] = 0
    replica_timeout_ms: ClassVar[int] = 100
    sentinel_kwargs: ClassVar[Mapping[str, Any] | None] = None

    @classmethod
    def _get_redis_client(cls, host: str, *, port: int = 6379,
                          username: str | None = None, password: str | None = None,
                          ssl: bool = False, ssl_certfile: str | None = None,
                          ssl_keyfile: str | None = None,
                          ssl_ca_certs: str | None = None) -> AcknowledgedPrimary:
        addresses = [(host, port)] + [a for a in cls.sentinels if a != (host, port)]
        primary: dict[str, Any] = {"username": username, "password": password}
        if ssl:  # the sentinel's connections take TLS options only when TLS is on
            primary.update(ssl=True, ssl_certfile=ssl_certfile, ssl_keyfile=ssl_keyfile,
                           ssl_ca_certs=ssl_ca_certs)
        sentinel = Sentinel(addresses, sentinel_kwargs=dict(cls.sentinel_kwargs or {}),
                            **primary)
        client: AcknowledgedPrimary = sentinel.master_for(cls.service_name,
                                                          redis_class=AcknowledgedPrimary)
        client.min_replicas = cls.min_replicas
        client.replica_timeout_ms = cls.replica_timeout_ms
        return client


def sentinel_quorvane(service_name: str, sentinels: Sequence[tuple[str, int]] = (), *,
                      min_replicas: int = 0, replica_timeout_ms: int = 100,
                      sentinel_kwargs: Mapping[str, Any] | None = None,
                      name: str = "SentinelQuorvane") -> type[SentinelQuorvane]:
    """A Quorvane class for the primary that the sentinels know as `service_name`.

    `min_replicas` > 0 makes each successful set-if-absent wait up to `replica_timeout_ms` for
    that many replica acknowledgements (Redis WAIT); without them the attempt counts as failed
    and `acquire` goes on polling within its budget. Off (0) by default."""
    if min_replicas < 0 or replica_timeout_ms < 0:
        raise ValueError("min_replicas and replica_timeout_ms must not be negative")
    attributes: dict[str, Any] = {
        "service_name": service_name,
        "sentinels": tuple((str(h), int(p)) for h, p in sentinels),
        "min_replicas": min_replicas,
        "replica_timeout_ms": replica_timeout_ms,
        "sentinel_kwargs": dict(sentinel_kwargs) if sentinel_kwargs else None,
        "__module__": __name__,
    }
    return type(name, (SentinelQuorvane,), attributes)
