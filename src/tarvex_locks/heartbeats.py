"""This process's heartbeats as the lock protocol keeps them: one record per server, holding
what the process can show of its heartbeat key there, which instances use it, and the releases
it still owes that server. Nothing here sends a command: the drivers send the refreshes
(`tarvex_locks.protocol.refresh`) and the records take their replies.

A refresh proposes a new value with a random `life`; the server keeps the value of a key that
is still there and writes the proposal only into a key that had lapsed (`holders.BEAT`). So the
life a refresh reads back changes exactly when the key was gone at some moment since the last
one, whoever refreshed it. A lock taken under one life is shown safe while the key still has
that life and the newest refresh that counted was sent less than a TTL ago.
"""
from __future__ import annotations

import math
import os
import threading
import time
import weakref
from typing import Any

from tarvex_locks import metrics

clock = time.monotonic


class Heartbeat:
    """This process's heartbeat key on one server, as far as its replies show it."""

    def __init__(self, name: Any, ttl: float) -> None:
        self.name = name
        self.ttl = ttl
        self.life: bytes | None = None  # the key's value as the newest refresh read it
        self.until = 0.0  # the key is known to live, with that life, until this moment
        self.latest = -math.inf  # when the newest refresh noted was sent
        self.members: dict[int, weakref.ref[Any]] = {}
        self.owed: dict[str, bytes] = {}  # releases that failed: key -> the value to delete
        self.guard = threading.Lock()
        self.labels: dict[str, str] = {}  # of the first instance to use it, for measurements

    def note(self, sent: float, life: bytes, durable: bool) -> None:
        """A refresh sent at `sent` read back `life`; `durable`: as many replicas as asked for
        have it (a refresh they lack may be lost in a failover, so it shows nothing)."""
        with self.guard:
            if sent < self.latest and life != self.life:
                return  # overtaken by a newer refresh's reply
            self.latest = max(self.latest, sent)
            if life != self.life:
                if self.life is not None:
                    metrics.count("heartbeat.lapses", self.labels)
                self.life = life  # set first: a reader that sees it takes older locks as lapsed
                self.until = sent + self.ttl if durable else 0.0
            elif durable:
                self.until = max(self.until, sent + self.ttl)

    def end(self) -> None:
        """The key is being deleted: nothing held under it is safe any more."""
        with self.guard:
            self.life, self.until, self.latest = None, 0.0, clock()

    def covers(self, now: float) -> bool:
        return self.life is not None and now < self.until

    def fresh(self, now: float) -> bool:
        """Refreshed within half its TTL: a lock taken now names a process that looks alive."""
        return self.life is not None and self.until - now > self.ttl / 2

    def lapsed(self, life: bytes | None) -> bool:
        """Whether a lock taken under `life` may have been lost since."""
        return life is None or life != self.life or clock() >= self.until

    def owe(self, key: str, value: bytes) -> None:
        with self.guard:
            self.owed[key] = value

    def settled(self, key: str, value: bytes) -> None:
        with self.guard:
            if self.owed.get(key) == value:
                del self.owed[key]


class _Registry:
    def __init__(self) -> None:
        self.guard = threading.RLock()  # a collected instance's callback may run under it
        self.records: dict[Any, Heartbeat] = {}
        self.members = 0
        self.states: weakref.WeakSet[Any] = weakref.WeakSet()


_registry = _Registry()


def join(instance: Any, state: Any, name: Any, ttl: float) -> Heartbeat:
    """Counts `instance` among the users of the heartbeat on the server `name` (any hashable);
    the record outlives its users, so what it has shown survives a reconnect."""
    r = _registry
    with r.guard:
        leave_locked(instance, state)
        record = r.records.get(name)
        if record is None:
            record = r.records[name] = Heartbeat(name, ttl)
            record.labels = state.labels
        record.ttl = min(record.ttl, ttl)
        member = id(instance)
        record.members[member] = weakref.ref(
            instance, lambda ref: _collected(record, member, ref))
        r.members += 1
        state.heartbeat = record
        r.states.add(state)
        return record


def leave(instance: Any, state: Any) -> tuple[Heartbeat | None, bool]:
    """`instance` stops using its heartbeat: (its record, whether it was the process's last
    instance, whose heartbeat key is then deleted so that a gone process never looks alive)."""
    with _registry.guard:
        record = leave_locked(instance, state)
        return record, record is not None and _registry.members == 0


def leave_locked(instance: Any, state: Any) -> Heartbeat | None:
    record: Heartbeat | None = state.heartbeat
    if record is not None and record.members.pop(id(instance), None) is not None:
        _registry.members -= 1
    return record


def _collected(record: Heartbeat, member: int, ref: weakref.ref[Any]) -> None:
    """An instance was collected without `disconnect`."""
    with _registry.guard:
        if record.members.get(member) is ref:
            del record.members[member]
            _registry.members -= 1


def _after_fork_in_child() -> None:
    """A child starts with no heartbeats; the parent's locks stay the parent's."""
    global _registry
    old = _registry
    _registry = _Registry()
    for state in list(old.states):
        state.forked()


os.register_at_fork(after_in_child=_after_fork_in_child)
