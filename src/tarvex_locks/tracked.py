"""Quorvane whose locks name their holder: `TrackedQuorvane` (one server) and
`TrackedQuorvaneCluster`; `sentinel_quorvane(..., track_holders=True)` makes the Sentinel one.

They keep `Quorvane`'s methods, signatures and polling (one attempt, then 0.1 s pauses counted
against the budget), and change three things:

- the value adds a holder record to the caller's metadata (`tarvex_locks.holders`), and the
  process keeps a heartbeat key alive while it is connected (`tarvex_locks.heartbeats`);
- `release` deletes the key only if it still holds this acquire's value, so a late release never
  deletes someone else's lock (it warns with `LockLostWarning` when another holds it);
- an attempt that finds its own value (a retried write whose reply was lost) counts as taken,
  and with `reap_dead` an attempt that finds a dead holder deletes that holder's value and
  tries again at once.

The protocol itself is `tarvex_locks.protocol`, shared with the asyncio classes; these classes
run it on their sync client (`tarvex_locks.sync_driver`).

Plain `Quorvane` instances on the same keys still exclude and are excluded: both write with
set-if-absent. A plain `release` deletes whatever holds the key, as it always did.
"""
from __future__ import annotations

import warnings
from time import perf_counter
from typing import Any, ClassVar

from tarvex_data.errors import TarvexConnectionError
from tarvex_data.lock.implementations.quorvane import Quorvane
from tarvex_utils.models.data_models.address import Address

from tarvex_locks import holders, metrics, protocol, sync_driver
from tarvex_locks.heartbeats import clock
from tarvex_locks.cluster import QuorvaneCluster
from tarvex_locks.connection import unreadable
from tarvex_locks.protocol import Link, LockState
from tarvex_locks.sync_driver import run


class LockLostWarning(RuntimeWarning):
    """`release` found the key held by another acquire: someone deleted this one's (an operator,
    or a reaper after this process's heartbeat lapsed) and took the lock since."""


def report_acquire(state: LockState, key: str, started: float, taken: bool | None) -> None:
    """Measures an acquire that began at `started` (perf_counter): taken, not, or None for an
    error."""
    outcome = "error" if taken is None else "acquired" if taken else "not_acquired"
    metrics.acquired(state.outcomes[outcome], key, perf_counter() - started)


def report_release(state: LockState, key: str, mine: tuple[Any, ...] | None,
                   kept: bool) -> None:
    """What a release measures and, when the lock was lost, tells the caller of `release`
    (who should know that mutual exclusion was lost); `mine` is what was held before it."""
    if mine is not None:
        metrics.released(state.labels, key, clock() - mine[3])
    if kept:
        return
    metrics.count("lost", state.labels, key)
    warnings.warn(LockLostWarning(
        f"lock {key!r} was held by another acquire when this one released it: this one's was"
        " deleted (by an operator, or by a reaper after this process's heartbeat lapsed) and"
        " the lock taken again"), stacklevel=3)


def key_of(target_address: Any) -> str:
    """The lock key of an address; a TypeError naming the argument for what is not one."""
    try:
        return target_address.to_string()  # type: ignore[no-any-return]
    except AttributeError:
        if hasattr(type(target_address), "to_string"):
            raise  # an address whose own to_string failed
        raise TypeError("Argument 'target_address' has incorrect type (expected Address, got "
                        f"{type(target_address).__name__})") from None


def check_tls_files(**files: str | None) -> None:
    """A ValueError naming the argument and the path of a TLS file that cannot be read."""
    for name, path in files.items():
        why = unreadable(path)
        if why:
            raise ValueError(f"Argument {name!r}: cannot read {path!r}: {why}")


def check_timeout(timeout_ms: Any) -> None:
    if type(timeout_ms) is not int:
        raise TypeError("Argument 'timeout_ms' has incorrect type (expected int, got "
                        f"{type(timeout_ms).__name__})")


class Tracked:
    """The tracked protocol over any Quorvane class; put it first among the bases."""

    measured: ClassVar[bool] = True  # its own calls feed `tarvex_locks.metrics`; `held` adds none
    reap_dead: bool = False
    fair: bool = False
    heartbeat_ttl: ClassVar[float] = 10.0

    def __init__(self, *args: Any, reap_dead: bool | None = None, fair: bool | None = None,
                 **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        if reap_dead is not None:
            self.reap_dead = bool(reap_dead)
        if fair is not None:
            self.fair = bool(fair)

    def connect(self, host: str, *, port: int = 6379, username: str | None = None,
                password: str | None = None, ssl: bool = False,
                ssl_certfile: str | None = None, ssl_keyfile: str | None = None,
                ssl_ca_certs: str | None = None) -> None:
        if ssl:
            check_tls_files(ssl_certfile=ssl_certfile, ssl_keyfile=ssl_keyfile,
                            ssl_ca_certs=ssl_ca_certs)
        super().connect(host, port=port, username=username,  # type: ignore[misc]
                        password=password, ssl=ssl, ssl_certfile=ssl_certfile,
                        ssl_keyfile=ssl_keyfile, ssl_ca_certs=ssl_ca_certs)
        state = self._lock_state()
        state.labels = metrics.labels_of(self)
        state.outcomes = metrics.outcomes_of(state.labels)
        state.link = Link(getattr(self, "min_replicas", 0),
                          getattr(self, "replica_timeout_ms", 100))  # a new client: learn anew
        sync_driver.track(self, state, host, sync_driver.server_options(
            port, username, password, ssl, ssl_certfile, ssl_keyfile, ssl_ca_certs),
            self.client)  # type: ignore[attr-defined]

    def disconnect(self) -> None:
        state = self.__dict__.get("_state")
        if state is not None:
            ending = sync_driver.untrack(self, state)
            if ending is not None:  # the heartbeat key goes with the process's last instance
                ending.join(sync_driver.ending_bound(state))
        super().disconnect()  # type: ignore[misc]

    def _lock_state(self) -> LockState:
        state: LockState | None = self.__dict__.get("_state")
        if state is None:
            state = self.__dict__["_state"] = LockState(Link())
        return state

    def _connected(self) -> tuple[Any, LockState]:
        client = getattr(self, "client", None)
        state: LockState | None = self.__dict__.get("_state")
        if not client or state is None:
            raise TarvexConnectionError(holders.NOT_CONNECTED)
        if state.heartbeat is None:  # a forked child's first call
            sync_driver.rejoin(self, state)
        return client, state

    def acquire(self, target_address: Address, *, timeout_ms: int = -1, blocking: bool = True,
                metadata: dict[str, Any] | None = None) -> bool:
        if type(timeout_ms) is not int:
            check_timeout(timeout_ms)
        client = getattr(self, "client", None)
        state: LockState | None = self.__dict__.get("_state")
        if not client or state is None or state.heartbeat is None:
            client, state = self._connected()
        key = key_of(target_address)
        value = None if self.fair else holders.lock_value(metadata)  # fair: made in the queue
        started = perf_counter()
        try:
            taken: bool = (sync_driver.acquire_fair(client, state, key, metadata, timeout_ms,
                                                    blocking, self.reap_dead) if value is None else
                           sync_driver.acquire(client, state, key, value, timeout_ms, blocking,
                                               self.reap_dead))
        except BaseException:
            report_acquire(state, key, started, None)
            raise
        report_acquire(state, key, started, taken)
        return taken

    def release(self, target_address: Address) -> None:
        client = getattr(self, "client", None)
        state: LockState | None = self.__dict__.get("_state")
        if not client or state is None or state.heartbeat is None:
            client, state = self._connected()
        key = key_of(target_address)
        mine = state.held.get(key)
        report_release(state, key, mine, sync_driver.release(client, state, key))

    @property
    def lapsed(self) -> bool:
        """True when a lock this instance still holds may have been lost: this process cannot
        show that its heartbeat stayed on the server since that lock was taken (a refresh
        found it gone, or none got through within its TTL). A reaper may then have deleted it;
        `holds` asks the server."""
        state: LockState | None = self.__dict__.get("_state")
        return state is not None and state.lapsed()

    def fence(self, target_address: Address) -> int | None:
        """The fencing token of this instance's hold of `target_address`, taken with
        `fair=True`: greater than every earlier holder's of that address, so that storage can
        refuse a writer whose hold is older than the newest it has seen (no round trip). None
        when this instance holds no fair lock of it."""
        return self._lock_state().fence(key_of(target_address))

    def holds(self, target_address: Address) -> bool:
        """Whether the server still has this instance's value for `target_address` (one
        read)."""
        client, state = self._connected()
        return run(client, protocol.holds(state, key_of(target_address)))  # type: ignore[no-any-return]


class TrackedQuorvane(Tracked, Quorvane):
    """Quorvane on one server, with holder records, heartbeats and owned release."""


class TrackedQuorvaneCluster(Tracked, QuorvaneCluster):
    """QuorvaneCluster with holder records, heartbeats and owned release."""
