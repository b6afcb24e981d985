"""The tracked lock protocol's commands on one redis-py client (a server, a primary or a
cluster), each one round trip, with `WAIT` after the write where replicas are asked for."""
from __future__ import annotations

from typing import Any

from tarvex_locks import holders
from tarvex_locks.replication import not_replicated, with_wait


class Wire:
    def __init__(self, client: Any, min_replicas: int = 0, replica_timeout_ms: int = 100) -> None:
        self.client = client
        self.replicas = min_replicas
        self.timeout_ms = replica_timeout_ms

    def take(self, key: str, value: bytes) -> tuple[bool, bytes | None]:
        """One attempt: (taken, the value that holds the key otherwise). Finding its own value
        (a retried write whose reply was lost) counts as taken."""
        if self.replicas <= 0:
            current = self.client.eval(holders.TAKE, 1, key, value)
        else:
            current, acked = with_wait(self.client, key,
                                       lambda p: p.eval(holders.TAKE, 1, key, value),
                                       self.replicas, self.timeout_ms)
            if acked < self.replicas and (current is None or holders.as_bytes(current) == value):
                self.delete_if(key, value)  # not held in a way that a failover keeps
                return False, None
        if current is None:
            return True, None
        current = holders.as_bytes(current)
        return current == value, current

    def delete_if(self, key: str, value: bytes) -> bool:
        return bool(self.client.eval(holders.DELETE_IF, 1, key, value))

    def release(self, key: str, value: bytes) -> bool:
        """Deletes the key if it still holds `value`; False if it no longer did."""
        if self.replicas <= 0:
            return self.delete_if(key, value)
        deleted, acked = with_wait(self.client, key,
                                   lambda p: p.eval(holders.DELETE_IF, 1, key, value),
                                   self.replicas, self.timeout_ms)
        if deleted and acked < self.replicas:
            raise not_replicated(key, acked, self.replicas, self.timeout_ms)
        return bool(deleted)

    def alive(self, holder: holders.Holder) -> bool:
        return bool(self.client.exists(holder.heartbeat_key))

    def get(self, key: str) -> bytes | None:
        value = self.client.get(key)
        return None if value is None else holders.as_bytes(value)

    def beat(self, ttl_ms: int) -> bool:
        """Refreshes this process's heartbeat; False if it had lapsed (or was never there)."""
        me = holders.identity
        return bool(self.client.eval(holders.BEAT, 1, me.heartbeat_key, me.heartbeat_value,
                                     ttl_ms))
