"""Writes that count only once replicas have them: a command and `WAIT` on the one connection
that serves the key, on a primary (Sentinel) or on the master of the key's slot (Cluster).

Redis replicates asynchronously: a lock written to a primary and not yet copied is lost when a
replica is promoted (a second holder), and a delete not yet copied comes back (a released lock
held again, by nobody). With `min_replicas` > 0 a lock is taken only once that many replicas
acknowledge it within `replica_timeout_ms` (otherwise it is deleted again and the attempt
fails), and `release` returns only once they acknowledge the delete (otherwise it raises
`NotReplicated`).
"""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

import redis
from redis.exceptions import AskError, MovedError

try:
    from redis.cluster import RedisCluster
except ImportError:  # pragma: no cover - every supported redis-py has it
    RedisCluster = None  # type: ignore[assignment, misc]


class NotReplicated(redis.exceptions.RedisError):
    """A delete was applied on the primary but fewer replicas than asked acknowledged it in
    time: a failover now may bring the lock back."""


def connection_for(client: Any, key: Any) -> Any:
    """The client of the one server that serves `key`: the client itself, or for a cluster the
    client of the key's master."""
    if RedisCluster is not None and isinstance(client, RedisCluster):
        cluster: Any = client
        return cluster.get_redis_connection(cluster.get_node_from_key(key))
    return client


def with_wait(client: Any, key: Any, add: Callable[[Any], Any], replicas: int,
              timeout_ms: int) -> tuple[Any, int]:
    """Runs the command that `add` puts in a pipeline, then `WAIT replicas timeout_ms`, on the
    connection that serves `key`: (the command's reply, the replicas that acknowledged)."""
    for attempt in (1, 2):
        pipe = connection_for(client, key).pipeline(transaction=False)
        add(pipe)
        pipe.wait(replicas, timeout_ms)
        reply, acked = pipe.execute(raise_on_error=False)
        if attempt == 1 and moved(reply):
            client.nodes_manager.initialize()  # the slot moved: learn the cluster again
            continue
        return replies(reply, acked)
    raise AssertionError("unreachable")


def moved(reply: Any) -> bool:
    """The write went to a master that no longer serves its slot."""
    return isinstance(reply, (MovedError, AskError))


def replies(reply: Any, acked: Any) -> tuple[Any, int]:
    """A pipeline's (command reply, WAIT reply), raising the first error among them."""
    for result in (reply, acked):
        if isinstance(result, Exception):
            raise result
    return reply, int(acked)


def not_replicated(key: Any, acked: int, replicas: int, timeout_ms: int) -> NotReplicated:
    name = key.decode("utf-8", "backslashreplace") if isinstance(key, bytes) else str(key)
    return NotReplicated(f"the delete of lock {name!r} was acknowledged by {acked} of"
                         f" {replicas} replicas within {timeout_ms} ms: a failover now may"
                         " bring the lock back")


class Acknowledging:
    """For the clients that plain Quorvane subclasses build: `set(..., nx=True)` and `delete`
    count only once `min_replicas` replicas acknowledge them."""

    min_replicas: int = 0
    replica_timeout_ms: int = 100

    def set(self, name: Any, value: Any, *args: Any, **kwargs: Any) -> Any:
        if not (kwargs.get("nx") and self.min_replicas > 0):
            return super().set(name, value, *args, **kwargs)  # type: ignore[misc]
        written, acked = with_wait(self, name, lambda p: p.set(name, value, *args, **kwargs),
                                   self.min_replicas, self.replica_timeout_ms)
        if written and acked < self.min_replicas:
            super().delete(name)  # type: ignore[misc]  # not held in a way a failover keeps
            return None
        return written

    def delete(self, *names: Any) -> Any:
        if self.min_replicas <= 0 or len(names) != 1:
            return super().delete(*names)  # type: ignore[misc]
        deleted, acked = with_wait(self, names[0], lambda p: p.delete(*names),
                                   self.min_replicas, self.replica_timeout_ms)
        if deleted and acked < self.min_replicas:
            raise not_replicated(names[0], acked, self.min_replicas, self.replica_timeout_ms)
        return deleted


def check_replication(min_replicas: int, replica_timeout_ms: int) -> None:
    if min_replicas < 0 or replica_timeout_ms < 0:
        raise ValueError("min_replicas and replica_timeout_ms must not be negative")
