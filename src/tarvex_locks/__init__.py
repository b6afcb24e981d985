"""The project's own Python side of the tarvex lock back-ends.

- `tarvex_locks.held(lock, address, ...)`: `with` for any lock of the framework's interface.
- `tarvex_locks.cluster.QuorvaneCluster`: Quorvane on a Redis Cluster.
- `tarvex_locks.sentinel.sentinel_quorvane`: Quorvane on a Sentinel-managed primary.
- `tarvex_locks.tracked`: `TrackedQuorvane` and `TrackedQuorvaneCluster`, whose locks name their
  holder (value format in `tarvex_locks.holders`, heartbeat records in `tarvex_locks.heartbeats`);
  with `fair=True` they serve waiters in arrival order with a fencing token per hold
  (`tarvex_locks.fair`). Their protocol is `tarvex_locks.protocol`, run by
  `tarvex_locks.sync_driver` and, for `tarvex_locks.aio`, `tarvex_locks.async_driver`.
- `tarvex_locks.held_locks`: the `tarvex-locks` command, to list held locks with their holders'
  state and delete dead holders' locks.
- `tarvex_locks.workbench`: the `tarvex-lock-workbench` command (`./run demo`).
- `tarvex_locks.local_servers`: Redis servers, clusters and sentinels on loopback.
"""

from tarvex_locks.sections import DEFAULT_WAIT_MS, LockNotHeld, held

__all__ = ["DEFAULT_WAIT_MS", "LockNotHeld", "held"]
