"""Quorvane whose locks name their holder: `TrackedQuorvane` (one server) and
`TrackedQuorvaneCluster`; `sentinel_quorvane(..., track_holders=True)` makes the Sentinel one.

They keep `Quorvane`'s methods, signatures and polling (one attempt, then 0.1 s pauses counted
against the budget), and change three things:

- the value adds a holder record to the caller's metadata (`tarvex_locks.holders`), and the
  process keeps a heartbeat key alive while it is connected (`tarvex_locks.liveness`);
- `release` deletes the key only if it still holds this acquire's value, so a late release never
  deletes someone else's lock (it warns with `LockLostWarning` when another holds it);
- an attempt that finds its own value (a retried write whose reply was lost) counts as taken,
  and with `reap_dead` an attempt that finds a dead holder deletes that holder's value and
  tries again at once.

Plain `Quorvane` instances on the same keys still exclude and are excluded: both write with
set-if-absent. A plain `release` deletes whatever holds the key, as it always did.
"""
from __future__ import annotations

import time
import warnings
from typing import Any, ClassVar

from tarvex_data.errors import TarvexConnectionError
from tarvex_data.lock.implementations.quorvane import Quorvane
from tarvex_utils.models.data_models.address import Address

from tarvex_locks import holders, liveness
from tarvex_locks.cluster import QuorvaneCluster
from tarvex_locks.wire import Wire

PAUSE = 0.1


class LockLostWarning(RuntimeWarning):
    """`release` found the key held by another acquire: someone deleted this one's (an operator,
    or a reaper after this process's heartbeat lapsed) and took the lock since."""


class Budget:
    """A blocking acquire's wait, counted as Quorvane counts it: the sum of the pauses, not the
    clock, against `timeout_ms / 1000.0`; a negative timeout never runs out."""

    __slots__ = ("limit", "spent")

    def __init__(self, timeout_ms: int) -> None:
        self.limit = timeout_ms / 1000.0
        self.spent = 0.0

    def exhausted(self) -> bool:
        return 0 <= self.limit <= self.spent

    def pause(self) -> None:
        self.spent += PAUSE


def warn_lost(key: str) -> None:
    """For the caller of `release`, who should know that mutual exclusion was lost."""
    warnings.warn(LockLostWarning(
        f"lock {key!r} was held by another acquire when this one released it: this one's was"
        " deleted (by an operator, or by a reaper after this process's heartbeat lapsed) and"
        " the lock taken again"), stacklevel=3)


def check_timeout(timeout_ms: Any) -> None:
    if type(timeout_ms) is not int:
        raise TypeError("Argument 'timeout_ms' has incorrect type (expected int, got "
                        f"{type(timeout_ms).__name__})")


class Tracked:
    """The tracked protocol over any Quorvane class; put it first among the bases."""

    reap_dead: bool = False
    heartbeat_ttl: ClassVar[float] = 10.0

    def __init__(self, *args: Any, reap_dead: bool | None = None, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        if reap_dead is not None:
            self.reap_dead = bool(reap_dead)

    def connect(self, host: str, *, port: int = 6379, username: str | None = None,
                password: str | None = None, ssl: bool = False,
                ssl_certfile: str | None = None, ssl_keyfile: str | None = None,
                ssl_ca_certs: str | None = None) -> None:
        super().connect(host, port=port, username=username,  # type: ignore[misc]
                        password=password, ssl=ssl, ssl_certfile=ssl_certfile,
                        ssl_keyfile=ssl_keyfile, ssl_ca_certs=ssl_ca_certs)
        self._wire_for(self.client)  # type: ignore[attr-defined]
        liveness.register(self, (type(self), host, port), self.heartbeat_ttl)

    def disconnect(self) -> None:
        liveness.unregister(self)
        super().disconnect()  # type: ignore[misc]

    def _wire_for(self, client: Any) -> Wire:
        wire: Wire | None = self.__dict__.get("_wire")
        if wire is None or wire.client is not client:
            wire = self.__dict__["_wire"] = Wire(
                client, getattr(type(self), "min_replicas", 0),
                getattr(type(self), "replica_timeout_ms", 100))
        return wire

    def _holdings(self) -> dict[str, tuple[bytes, float]]:
        held: dict[str, tuple[bytes, float]] | None = self.__dict__.get("_held")
        if held is None:
            held = self.__dict__["_held"] = {}
        return held

    def acquire(self, target_address: Address, *, timeout_ms: int = -1, blocking: bool = True,
                metadata: dict[str, Any] | None = None) -> bool:
        if type(timeout_ms) is not int:
            check_timeout(timeout_ms)
        client = getattr(self, "client", None)
        if not client:
            raise TarvexConnectionError(holders.NOT_CONNECTED)
        key = target_address.to_string()
        value = holders.lock_value(metadata)
        state = self.__dict__
        wire = state.get("_wire")
        if wire is None or wire.client is not client:
            wire = self._wire_for(client)
        now = time.monotonic()
        beat = liveness.beat_of(self)
        if (beat is None or not beat.fresh(now)) and wire.replicas <= 0:  # else per attempt
            liveness.ensure(self, wire, ("client", id(client)), self.heartbeat_ttl)
        if blocking:
            budget = Budget(timeout_ms)
            while not self._attempt(wire, key, value):
                if budget.exhausted():
                    return False
                time.sleep(PAUSE)
                budget.pause()
            now = time.monotonic()
        elif not self._attempt(wire, key, value):
            return False
        held = state.get("_held")
        if held is None:
            held = self._holdings()
        held[key] = (value, now)
        return True

    def _attempt(self, wire: Wire, key: str, value: bytes) -> bool:
        # a heartbeat the replicas lack may vanish in a failover, and a reaper then take this
        # live holder's lock
        if wire.replicas > 0 and not liveness.ensure(self, wire, ("client", id(wire.client)),
                                                     self.heartbeat_ttl).fresh(time.monotonic()):
            return False
        try:
            taken, current = wire.take(key, value)
        except Exception:
            wire_cleanup(wire, key, value)
            raise
        if taken or current is None or not self.reap_dead:
            return taken
        holder = holders.parse(current)[1]
        if holder is None or holder.process == holders.identity.process or wire.alive(holder):
            return False
        wire.delete_if(key, current)  # its holder is dead: only that exact value goes
        return wire.take(key, value)[0]

    def release(self, target_address: Address) -> None:
        client = getattr(self, "client", None)
        if not client:
            raise TarvexConnectionError(holders.NOT_CONNECTED)
        key = target_address.to_string()
        held = self._holdings()
        mine = held.pop(key, None)
        if mine is None:
            return None  # not taken by this instance: nothing of ours to delete
        wire = self.__dict__.get("_wire")
        if wire is None or wire.client is not client:
            wire = self._wire_for(client)
        try:
            deleted = wire.release(key, mine[0])
        except BaseException:
            held.setdefault(key, mine)  # still ours, if the delete never happened
            raise
        if not deleted:
            warn_lost(key)
        return None

    @property
    def lapsed(self) -> bool:
        """True when a lock this instance still holds may have been lost: this process's
        heartbeat on the server lapsed (was not refreshed within its time-to-live) since the
        oldest of them was taken. A reaper may then have deleted it; `holds` asks the server."""
        held = self.__dict__.get("_held")
        if not held:
            return False
        beat = liveness.beat_of(self)
        return beat is None or beat.lapsed_since(min(at for _, at in held.values()))

    def holds(self, target_address: Address) -> bool:
        """Whether the server still has this instance's value for `target_address` (one
        read)."""
        client = getattr(self, "client", None)
        if not client:
            raise TarvexConnectionError(holders.NOT_CONNECTED)
        key = target_address.to_string()
        mine = self._holdings().get(key)
        return mine is not None and self._wire_for(client).get(key) == mine[0]


def wire_cleanup(wire: Wire, key: str, value: bytes) -> None:
    """After a failed attempt whose write may have been applied: take our own value back, so
    that nothing is left behind; the attempt's own error is what the caller sees."""
    try:
        wire.delete_if(key, value)
    except Exception:  # noqa: BLE001
        pass


class TrackedQuorvane(Tracked, Quorvane):
    """Quorvane on one server, with holder records, heartbeats and owned release."""


class TrackedQuorvaneCluster(Tracked, QuorvaneCluster):
    """QuorvaneCluster with holder records, heartbeats and owned release."""
