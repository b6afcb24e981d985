"""Quorvane on a Redis Cluster: the lock keys are spread over the masters by the cluster's own
hashing, and the client finds the master of each key."""
from __future__ import annotations

from typing import ClassVar

from redis.cluster import RedisCluster

from tarvex_data.lock.implementations.quorvane import Quorvane

from tarvex_locks.replication import Acknowledging


class AcknowledgedCluster(Acknowledging, RedisCluster):
    """The cluster client: with `min_replicas`, a lock write and a delete count only once that
    many replicas of the key's master acknowledge them (see `tarvex_locks.replication`)."""


class QuorvaneCluster(Quorvane):
    """`connect(host, port=...)` names any node of the cluster; the client discovers the others
    at once (so, unlike a single server, `connect` fails when that node cannot be reached).
    Credentials and TLS options go to every node.

    `min_replicas` (a class attribute; set it in a subclass) > 0 makes each lock write wait up
    to `replica_timeout_ms` for that many replicas of its master, and each release too."""

    min_replicas: ClassVar[int] = 0
    replica_timeout_ms: ClassVar[int] = 100
    layout: ClassVar[str] = "cluster"

    @classmethod
    def _get_redis_client(cls, host: str, *, port: int = 6379, username: str | None = None,
                          password: str | None = None, ssl: bool = False,
                          ssl_certfile: str | None = None, ssl_keyfile: str | None = None,
                          ssl_ca_certs: str | None = None) -> RedisCluster:
        client = AcknowledgedCluster(host=host, port=port, username=username, password=password,
                                     ssl=ssl, ssl_certfile=ssl_certfile, ssl_keyfile=ssl_keyfile,
                                     ssl_ca_certs=ssl_ca_certs)
        client.min_replicas = cls.min_replicas
        client.replica_timeout_ms = cls.replica_timeout_ms
        return client
