"""Metrics of the locks, through OpenTelemetry's API (the `otel` extra: `opentelemetry-api`),
which the application connects to the exporter it chooses (Prometheus, OTLP, ...). Without the
API installed nothing is measured; with it and no SDK configured, each call reaches a no-op
instrument.

Instruments of the meter "tarvex_locks":

| name | kind | what |
| --- | --- | --- |
| `tarvex_locks.acquires` | counter | acquire calls, by `outcome`: acquired, not_acquired, error |
| `tarvex_locks.acquire.duration` | histogram, s | how long an acquire took (its wait), by `outcome` |
| `tarvex_locks.hold.duration` | histogram, s | from an acquire's return to its release |
| `tarvex_locks.lost` | counter | releases that found another acquire's value (LockLostWarning) |
| `tarvex_locks.release.failures` | counter | releases that raised (and are owed) |
| `tarvex_locks.reaps` | counter | dead holders' values deleted by reaping attempts |
| `tarvex_locks.heartbeat.lapses` | counter | refreshes that found this process's heartbeat gone |

Attributes are of bounded cardinality: `lock.class` (the class's name), `lock.layout` (single,
cluster, sentinel or in-process) and `outcome`; never the address. To add an address's first
segment, set `address_attribute` to a function of the lock key, for example
`metrics.address_attribute = lambda key: key.split("/", 1)[0]` (it becomes `lock.address`).
"""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

enabled = True  # False: measure nothing even with the API installed (the bench's reference)
address_attribute: Callable[[str], str] | None = None


class _Instruments:
    def __init__(self, meter: Any) -> None:
        self.acquires = meter.create_counter(
            "tarvex_locks.acquires", unit="{call}", description="acquire calls by outcome")
        self.acquire_duration = meter.create_histogram(
            "tarvex_locks.acquire.duration", unit="s",
            description="how long an acquire took, by outcome")
        self.hold_duration = meter.create_histogram(
            "tarvex_locks.hold.duration", unit="s",
            description="from an acquire's return to its release")
        self.counters = {name: meter.create_counter(f"tarvex_locks.{name}", unit="{event}")
                         for name in ("lost", "release.failures", "reaps", "heartbeat.lapses")}


_instruments: _Instruments | None | bool = None  # None: not looked for yet; False: no API


def _get() -> _Instruments | None:
    global _instruments
    if _instruments is None:
        try:
            from opentelemetry import metrics as otel
        except ImportError:
            _instruments = False
        else:
            _instruments = _Instruments(otel.get_meter("tarvex_locks"))
    return _instruments or None


def labels_of(lock: Any) -> dict[str, str]:
    """The attributes of one lock instance's measurements."""
    layout = getattr(type(lock), "layout", None) or (
        "in-process" if hasattr(lock, "locks") else "single")  # Sellavar keeps its locks
    return {"lock.class": type(lock).__name__, "lock.layout": layout}


def _with_address(labels: dict[str, str], key: str | None) -> dict[str, str]:
    if address_attribute is None or key is None:
        return labels
    return {**labels, "lock.address": address_attribute(key)}


OUTCOMES = ("acquired", "not_acquired", "error")


def outcomes_of(labels: dict[str, str]) -> dict[str, dict[str, str]]:
    """The attributes of each outcome of an acquire, made once per instance."""
    return {outcome: {**labels, "outcome": outcome} for outcome in OUTCOMES}


def acquired(attributes: dict[str, str], key: str | None, seconds: float) -> None:
    """An acquire ended; `attributes` are its outcome's (`outcomes_of`)."""
    instruments = _get() if enabled else None
    if instruments is None:
        return
    if address_attribute is not None and key is not None:
        attributes = {**attributes, "lock.address": address_attribute(key)}
    instruments.acquires.add(1, attributes)
    instruments.acquire_duration.record(seconds, attributes)


def released(labels: dict[str, str], key: str | None, held_seconds: float | None) -> None:
    instruments = _get() if enabled else None
    if instruments is not None and held_seconds is not None:
        instruments.hold_duration.record(held_seconds, _with_address(labels, key))


def count(name: str, labels: dict[str, str], key: str | None = None) -> None:
    """One event: lost, release.failures, reaps or heartbeat.lapses."""
    instruments = _get() if enabled else None
    if instruments is not None:
        instruments.counters[name].add(1, _with_address(labels, key))
