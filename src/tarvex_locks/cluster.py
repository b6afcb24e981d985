"""Quorvane on a Redis Cluster: the lock keys are spread over the masters by the cluster's own
hashing, and the client finds the master of each key."""
from __future__ import annotations

from redis.cluster import RedisCluster

from tarvex_data.lock.implementations.quorvane import Quorvane


class QuorvaneCluster(Quorvane):
    """`connect(host, port=...)` names any node of the cluster; the client discovers the others
    at once (so, unlike a single server, `connect` fails when that node cannot be reached).
    Credentials and TLS options go to every node."""

    @staticmethod
    def _get_redis_client(host: str, *, port: int = 6379, username: str | None = None,
                          password: str | None = None, ssl: bool = False,
                          ssl_certfile: str | None = None, ssl_keyfile: str | None = None,
                          ssl_ca_certs: str | None = None) -> RedisCluster:
        return RedisCluster(host=host, port=port, username=username, password=password, ssl=ssl,
                            ssl_certfile=ssl_certfile, ssl_keyfile=ssl_keyfile,
                            ssl_ca_certs=ssl_ca_certs)
