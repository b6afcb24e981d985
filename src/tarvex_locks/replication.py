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

from typing import Any

from tarvex_locks import protocol
from tarvex_locks.protocol import NotReplicated, not_replicated
from tarvex_locks.sync_driver import run

__all__ = ["Acknowledging", "NotReplicated", "check_replication"]


class Acknowledging:
    """For the clients that plain Quorvane subclasses build: `set(..., nx=True)` and `delete`
    count only once `min_replicas` replicas acknowledge them."""

    min_replicas: int = 0
    replica_timeout_ms: int = 100

    def _waited(self, key: Any, *args: Any) -> tuple[Any, int]:
        # a plain value is not this acquire's own: a write sent twice could not tell its own
        # key from another's, so it is sent once
        return run(self, protocol.waited(key, args, self.min_replicas,  # type: ignore[no-any-return]
                                         self.replica_timeout_ms, again=False))

    def set(self, name: Any, value: Any, *args: Any, **kwargs: Any) -> Any:
        if not (kwargs.get("nx") and self.min_replicas > 0):
            return super().set(name, value, *args, **kwargs)  # type: ignore[misc]
        written, acked = self._waited(name, "SET", name, value, "NX")
        if written and acked < self.min_replicas:
            super().delete(name)  # type: ignore[misc]  # not held in a way a failover keeps
            return None
        return written

    def delete(self, *names: Any) -> Any:
        if self.min_replicas <= 0 or len(names) != 1:
            return super().delete(*names)  # type: ignore[misc]
        deleted, acked = self._waited(names[0], "DEL", names[0])
        if deleted and acked < self.min_replicas:
            raise not_replicated(names[0], acked, self.min_replicas, self.replica_timeout_ms)
        return deleted


def check_replication(min_replicas: int, replica_timeout_ms: int) -> None:
    if min_replicas < 0 or replica_timeout_ms < 0:
        raise ValueError("min_replicas and replica_timeout_ms must not be negative")
