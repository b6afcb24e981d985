"""The tracked lock protocol's commands on one redis-py client (a server, a primary or a
cluster), each one round trip, with `WAIT` after the write where replicas are asked for."""
from __future__ import annotations

import hashlib
from typing import Any

from redis.exceptions import NoScriptError, ResponseError

from tarvex_locks import holders
from tarvex_locks.replication import not_replicated, with_wait


SHA = {script: hashlib.sha1(script.encode()).hexdigest()
       for script in (holders.TAKE, holders.DELETE_IF, holders.BEAT)}


class Wire:
    def __init__(self, client: Any, min_replicas: int = 0, replica_timeout_ms: int = 100) -> None:
        self.client = client
        self.replicas = min_replicas
        self.timeout_ms = replica_timeout_ms
        self.native = True  # SET ... NX GET, until a server before 7.0 refuses it

    def script(self, script: str, key: str, *args: Any) -> Any:
        try:  # the command itself, not the client's wrapper: this is every release's path
            return self.client.execute_command("EVALSHA", SHA[script], 1, key, *args)
        except NoScriptError:
            return self.client.eval(script, 1, key, *args)

    def _take(self, target: Any, key: str, value: bytes) -> Any:
        if self.native:
            return target.execute_command("SET", key, value, "NX", "GET", get=True)
        return target.eval(holders.TAKE, 1, key, value)

    def take(self, key: str, value: bytes) -> tuple[bool, bytes | None]:
        """One attempt: (taken, the value that holds the key otherwise). Finding its own value
        (a retried write whose reply was lost) counts as taken."""
        try:
            if self.native and self.replicas <= 0:  # every attempt's path: one call deep
                current = self.client.execute_command("SET", key, value, "NX", "GET", get=True)
                if current is None:
                    return True, None
                current = holders.as_bytes(current)
                return current == value, current
            return self._take_once(key, value)
        except ResponseError as e:
            if not self.native or "syntax" not in str(e).lower():
                raise
            self.native = False
            return self._take_once(key, value)

    def _take_once(self, key: str, value: bytes) -> tuple[bool, bytes | None]:
        if self.replicas <= 0:
            current = self._take(self.client, key, value)
        else:
            current, acked = with_wait(self.client, key, lambda p: self._take(p, key, value),
                                       self.replicas, self.timeout_ms)
            if acked < self.replicas and (current is None or holders.as_bytes(current) == value):
                self.delete_if(key, value)  # not held in a way that a failover keeps
                return False, None
        if current is None:
            return True, None
        current = holders.as_bytes(current)
        return current == value, current

    def delete_if(self, key: str, value: bytes) -> bool:
        return int(self.script(holders.DELETE_IF, key, value)) == 1

    def release(self, key: str, value: bytes) -> bool:
        """Deletes the key if it still holds `value`; False if another value holds it."""
        if self.replicas <= 0:
            return int(self.script(holders.DELETE_IF, key, value)) >= 0
        outcome, acked = with_wait(self.client, key,
                                   lambda p: p.eval(holders.DELETE_IF, 1, key, value),
                                   self.replicas, self.timeout_ms)
        if int(outcome) == 1 and acked < self.replicas:
            raise not_replicated(key, acked, self.replicas, self.timeout_ms)
        return int(outcome) >= 0

    def alive(self, holder: holders.Holder) -> bool:
        return bool(self.client.exists(holder.heartbeat_key))

    def get(self, key: str) -> bytes | None:
        value = self.client.get(key)
        return None if value is None else holders.as_bytes(value)

    def beat(self, ttl_ms: int) -> tuple[bool, bool]:
        """Refreshes this process's heartbeat: (whether it was still there, whether as many
        replicas as asked for acknowledged it)."""
        me = holders.identity
        args = (me.heartbeat_key, me.heartbeat_value, ttl_ms)
        if self.replicas <= 0:
            return bool(self.script(holders.BEAT, *args)), True
        existed, acked = with_wait(self.client, me.heartbeat_key,
                                   lambda p: p.eval(holders.BEAT, 1, *args),
                                   self.replicas, self.timeout_ms)
        return bool(existed), acked >= self.replicas
