"""`with held(lock, address):` for any lock of the framework's interface: acquire, or raise
`LockNotHeld`; release on every way out of the block."""
from __future__ import annotations

from time import perf_counter
from types import TracebackType
from typing import TYPE_CHECKING, Any, Protocol

from tarvex_locks import metrics

if TYPE_CHECKING:  # the package imports without the framework; its commands say what is missing
    from tarvex_utils.models.data_models.address import Address

# The wait of `held` unless the caller gives one: finite, so that a lock whose holder died shows
# up as an error instead of a hang.
DEFAULT_WAIT_MS = 10_000


class Lock(Protocol):
    """What `held` needs of a lock: the framework's acquire and release."""

    def acquire(self, target_address: Address, *, timeout_ms: int = ..., blocking: bool = ...,
                metadata: dict[str, Any] | None = ...) -> bool: ...

    def release(self, target_address: Address) -> None: ...


class LockNotHeld(TimeoutError):
    """The lock was not had within the wait: someone else held it all along."""

    def __init__(self, address: Address, timeout_ms: int, blocking: bool) -> None:
        self.address = address
        self.timeout_ms = timeout_ms
        self.blocking = blocking
        if not blocking:
            wait = "in one attempt (blocking=False)"
        elif timeout_ms == 0:
            wait = "in one attempt (timeout_ms=0)"
        else:
            wait = f"within timeout_ms={timeout_ms}"
        super().__init__(f"lock {address.to_string()!r} was not acquired {wait}: another holder"
                         " had it")


class held:  # noqa: N801 - used like a function: `with held(lock, address):`
    """Acquires `address` on entry, or raises `LockNotHeld`; releases it on every exit,
    exceptions included. `timeout_ms` defaults to `DEFAULT_WAIT_MS` (10 s); a negative one
    waits without end, as `acquire` does."""

    __slots__ = ("lock", "address", "timeout_ms", "blocking", "metadata", "taken_at")

    def __init__(self, lock: Lock, address: Address, *, timeout_ms: int = DEFAULT_WAIT_MS,
                 blocking: bool = True, metadata: dict[str, Any] | None = None) -> None:
        self.taken_at: float | None = None
        self.lock = lock
        self.address = address
        self.timeout_ms = timeout_ms
        self.blocking = blocking
        self.metadata = metadata

    def __enter__(self) -> None:
        if getattr(self.lock, "measured", False):  # it measures its own calls
            taken = self.lock.acquire(self.address, timeout_ms=self.timeout_ms,
                                      blocking=self.blocking, metadata=self.metadata)
        else:
            taken = measured_acquire(self)
        if not taken:
            raise LockNotHeld(self.address, self.timeout_ms, self.blocking)

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.lock.release(self.address)
        if self.taken_at is not None:
            metrics.released(metrics.labels_of(self.lock), None, perf_counter() - self.taken_at)


def measured_acquire(section: held) -> bool:
    """The acquire of a lock that does not measure itself (the extension classes)."""
    outcomes, started = metrics.outcomes_of(metrics.labels_of(section.lock)), perf_counter()
    try:
        taken = section.lock.acquire(section.address, timeout_ms=section.timeout_ms,
                                     blocking=section.blocking, metadata=section.metadata)
    except BaseException:
        metrics.acquired(outcomes["error"], None, perf_counter() - started)
        raise
    ended = perf_counter()
    section.taken_at = ended if taken else None
    metrics.acquired(outcomes["acquired" if taken else "not_acquired"], None, ended - started)
    return taken
