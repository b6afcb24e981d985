"""The project's own Python side of the tarvex lock back-ends.

- `tarvex_locks.cluster.QuorvaneCluster`: Quorvane on a Redis Cluster.
- `tarvex_locks.sentinel.sentinel_quorvane`: Quorvane on a Sentinel-managed primary.
- `tarvex_locks.held_locks`: the `tarvex-locks` command, to list and delete held locks.
- `tarvex_locks.workbench`: the `tarvex-lock-workbench` command (`./run demo`).
- `tarvex_locks.local_servers`: Redis servers, clusters and sentinels on loopback.
"""
