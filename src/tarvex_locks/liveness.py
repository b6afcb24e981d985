"""This process's heartbeats: one key per server that tracked locks of this process live on,
with a time-to-live, refreshed by one daemon thread at a third of it.

The thread starts when the first tracked instance connects and stops when the last one
disconnects. A lock value never names this process unless its heartbeat on that server was
refreshed within half its time-to-live (`ensure`, called by every acquire), so a holder that
has just taken a lock never looks dead. A forked child starts with a new identity, no
heartbeats and no thread; its instances register again on first use.
"""
from __future__ import annotations

import os
import threading
import time
import weakref
from typing import Any

from tarvex_locks.wire import Wire


class Beat:
    """The heartbeat on one server: which instances use it, and when it was last refreshed."""

    def __init__(self, ttl: float) -> None:
        self.ttl = ttl
        self.members: dict[int, weakref.ref[Any]] = {}
        self.last_ok: float | None = None  # when the last successful refresh was sent
        self.lapsed_at: float | None = None  # when a lapse was last found

    def wire(self) -> Wire | None:
        for ref in list(self.members.values()):
            instance = ref()
            wire = instance.__dict__.get("_wire") if instance is not None else None
            if wire is not None:
                return wire  # type: ignore[no-any-return]
        return None

    def refresh(self, wire: Wire) -> None:
        sent = time.monotonic()
        self.record(sent, *wire.beat(int(self.ttl * 1000)))

    def record(self, sent: float, existed: bool, durable: bool = True) -> None:
        """A refresh sent at `sent` was applied; `existed`: the key was still there; `durable`:
        as many replicas as asked for have it (a refresh they lack counts for nothing)."""
        if self.last_ok is not None and (not existed or sent - self.last_ok > self.ttl):
            self.lapsed_at = sent
        if durable:
            self.last_ok = sent

    def fresh(self, now: float) -> bool:
        return self.last_ok is not None and now - self.last_ok < self.ttl / 2

    def lapsed_since(self, since: float) -> bool:
        """Whether the heartbeat may have been missing at some moment after `since`."""
        now = time.monotonic()
        if self.last_ok is None or now - self.last_ok > self.ttl:
            return True
        return self.lapsed_at is not None and self.lapsed_at >= since


class _Registry:
    def __init__(self) -> None:
        self.lock = threading.RLock()  # a collected instance's callback may run under it
        self.beats: dict[Any, Beat] = {}
        self.instances: weakref.WeakSet[Any] = weakref.WeakSet()
        self.stop = threading.Event()
        self.thread: threading.Thread | None = None


_registry = _Registry()


def register(instance: Any, server: Any, ttl: float) -> None:
    """Counts `instance` among the users of the heartbeat on `server` (any hashable name)."""
    r = _registry
    with r.lock:
        unregister_locked(instance)
        beat = r.beats.get(server)
        if beat is None:
            beat = r.beats[server] = Beat(ttl)
        beat.ttl = min(beat.ttl, ttl)
        member = id(instance)
        beat.members[member] = weakref.ref(instance, lambda ref: _forget(server, member, ref))
        instance.__dict__["_beat_server"] = server
        r.instances.add(instance)
        if r.thread is None:
            r.stop = threading.Event()
            r.thread = threading.Thread(target=_run, args=(r, r.stop),
                                        name="tarvex-locks heartbeat", daemon=True)
            r.thread.start()


def unregister(instance: Any) -> None:
    with _registry.lock:
        unregister_locked(instance)


def unregister_locked(instance: Any) -> None:
    _forget_locked(instance.__dict__.pop("_beat_server", None), id(instance))


def _forget(server: Any, member: int, ref: weakref.ref[Any]) -> None:
    """An instance was collected without `disconnect`."""
    with _registry.lock:
        _forget_locked(server, member, ref)


def _forget_locked(server: Any, member: int, ref: weakref.ref[Any] | None = None) -> None:
    r = _registry
    beat = r.beats.get(server)
    if beat is not None and (ref is None or beat.members.get(member) is ref):
        beat.members.pop(member, None)
        if not beat.members:
            del r.beats[server]
    if not r.beats and r.thread is not None:
        r.stop.set()
        r.thread = None


def beat_of(instance: Any) -> Beat | None:
    return _registry.beats.get(instance.__dict__.get("_beat_server"))


def ensure(instance: Any, wire: Wire, server: Any, ttl: float) -> Beat:
    """The instance's heartbeat, refreshed now unless it was refreshed within half its TTL."""
    beat = beat_of(instance)
    if beat is None:
        register(instance, server, ttl)
        beat = beat_of(instance)
        assert beat is not None
    if not beat.fresh(time.monotonic()):
        beat.refresh(wire)
    return beat


def _run(r: _Registry, stop: threading.Event) -> None:
    interval = 0.0
    while not stop.wait(interval):
        beats = list(r.beats.values())
        for beat in beats:
            wire = beat.wire()
            if wire is None:
                continue
            try:
                beat.refresh(wire)
            except Exception:  # noqa: BLE001 - a missed refresh shows as a lapse, not an error
                pass
        interval = min((b.ttl for b in beats), default=1.0) / 3


def _after_fork_in_child() -> None:
    global _registry
    old = _registry
    _registry = _Registry()
    for instance in list(old.instances):
        instance.__dict__.pop("_beat_server", None)
        instance.__dict__.get("_held", {}).clear()  # the parent's locks stay the parent's


os.register_at_fork(after_in_child=_after_fork_in_child)
