"""Quorvane on a primary watched by Redis Sentinel: the client asks the sentinels where the
primary is, and asks again after a failover.

Redis replicates asynchronously. A lock written to the primary and not yet copied to a replica
is lost when that replica is promoted, and a second caller can then take the same lock; a
release not yet copied comes back. With `min_replicas`, `acquire` reports a lock, and `release`
returns, only once that many replicas have acknowledged the write.
"""
from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, ClassVar

import redis
from redis.sentinel import Sentinel

from tarvex_data.lock.implementations.quorvane import Quorvane

from tarvex_locks.replication import Acknowledging, check_replication


class AcknowledgedPrimary(Acknowledging, redis.Redis):
    """The primary's client: with `min_replicas`, a lock write and a delete count only once that
    many replicas acknowledge them (see `tarvex_locks.replication`)."""

    sentinels_of: Sequence[redis.Redis] = ()


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
    layout: ClassVar[str] = "sentinel"

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
        client.sentinels_of = sentinel.sentinels  # closed with it by `disconnect`
        return client

    def disconnect(self) -> None:
        super().disconnect()
        for sentinel in getattr(getattr(self, "client", None), "sentinels_of", ()):
            sentinel.close()


def sentinel_quorvane(service_name: str, sentinels: Sequence[tuple[str, int]] = (), *,
                      min_replicas: int = 0, replica_timeout_ms: int = 100,
                      sentinel_kwargs: Mapping[str, Any] | None = None,
                      track_holders: bool = False, reap_dead: bool = False, fair: bool = False,
                      name: str = "SentinelQuorvane") -> type[SentinelQuorvane]:
    """A Quorvane class for the primary that the sentinels know as `service_name`.

    `min_replicas` > 0 makes each successful lock write wait up to `replica_timeout_ms` for
    that many replica acknowledgements (Redis WAIT); without them the attempt counts as failed
    and `acquire` goes on polling within its budget. `release` waits for them too and raises
    `NotReplicated` without them. Off (0) by default.

    `track_holders` makes a class whose locks name their holder (`tarvex_locks.tracked`);
    `reap_dead` (with it) lets a waiter delete a dead holder's lock, and `fair` (with it) serves
    waiters in arrival order with a fencing token per hold."""
    check_replication(min_replicas, replica_timeout_ms)
    if reap_dead and not track_holders:
        raise ValueError("reap_dead needs track_holders=True: plain locks name no holder")
    if fair and not track_holders:
        raise ValueError("fair needs track_holders=True: plain locks keep no queue")
    attributes: dict[str, Any] = {
        "service_name": service_name,
        "sentinels": tuple((str(h), int(p)) for h, p in sentinels),
        "min_replicas": min_replicas,
        "replica_timeout_ms": replica_timeout_ms,
        "sentinel_kwargs": dict(sentinel_kwargs) if sentinel_kwargs else None,
        "__module__": __name__,
    }
    if not track_holders:
        return type(name, (SentinelQuorvane,), attributes)
    from tarvex_locks.tracked import Tracked

    attributes["reap_dead"] = reap_dead
    attributes["fair"] = fair
    return type(name, (Tracked, SentinelQuorvane), attributes)
