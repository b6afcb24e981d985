"""Mutual exclusion under load: an occupancy counter must read 1 inside every section."""
import subprocess
import sys
import threading
import time

import pytest

from conftest import crowd

PROCESS = """
import sys, threading, redis
from tarvex_utils.models.data_models.address import Address
layout, port, threads, sections, names = sys.argv[1:6]
port, threads, sections, names = int(port), int(threads), int(sections), names.split(',')
if layout == 'cluster':
    from tarvex_locks.cluster import QuorvaneCluster as Lock
    r = redis.cluster.RedisCluster(host='127.0.0.1', port=port)
elif layout in ('tracked', 'fair'):
    from tarvex_locks.tracked import TrackedQuorvane
    Lock = lambda: TrackedQuorvane(fair=layout == 'fair')
    r = redis.Redis(port=port)
else:
    from tarvex_data.lock.implementations.quorvane import Quorvane as Lock
    r = redis.Redis(port=port)
q = Lock(); q.connect('127.0.0.1', port=port)
errors = []
def body(t):
    for i in range(sections):
        k = (t + i) % len(names)
        a = Address(names[k])
        if not q.acquire(a, timeout_ms=60000):
            errors.append('timeout'); return
        if r.incr(f'occupancy:{k}') != 1:
            errors.append('two holders')
        r.set(f'count:{k}', int(r.get(f'count:{k}') or 0) + 1)
        r.decr(f'occupancy:{k}')
        q.release(a)
ts = [threading.Thread(target=body, args=(t,)) for t in range(threads)]
[t.start() for t in ts]; [t.join() for t in ts]
print(','.join(errors) or 'ok')
"""


@pytest.mark.parametrize("fleet", [
    ["single"] * 4,
    ["single", "tracked", "single", "tracked"],  # a rollout: plain and tracked on the same keys
    ["fair", "single", "fair", "tracked"],  # fair waiters beside plain and tracked ones
])
def test_processes_times_threads_on_one_server(redis_server, redis_client, fleet):
    procs = [subprocess.Popen([sys.executable, "-c", PROCESS, layout, str(redis_server.port),
                               "4", "50", "load/0,load/1"], stdout=subprocess.PIPE, text=True)
             for layout in fleet]
    outs = [p.communicate(timeout=300)[0].strip() for p in procs]
    assert outs == ["ok"] * 4
    counts = [int(redis_client.get(f"count:{k}")) for k in range(2)]
    assert sum(counts) == 4 * 4 * 50 and counts == [400, 400]
    assert [int(redis_client.get(f"occupancy:{k}")) for k in range(2)] == [0, 0]
    assert redis_client.keys("load/*") == []
    assert not redis_client.keys("tarvex-locks:*queue*")  # no fair waiter left a place


def run_threads(n, target):
    threads = [threading.Thread(target=target, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads)


def test_threads_of_one_process(smod):
    s = smod.Sellavar()
    occupancy, counts, errors = [0] * 4, [0] * 4, []

    def body(t):
        for i in range(2000):
            k = (t * 7 + i) % 4
            assert s.acquire(("load", k))
            occupancy[k] += 1
            if occupancy[k] != 1:
                errors.append(k)
            value = counts[k]
            if i % 50 == 0:
                time.sleep(0)  # let the others in while the section is open
            counts[k] = value + 1
            occupancy[k] -= 1
            s.release(("load", k))

    run_threads(32, body)
    assert errors == [] and counts == [16000] * 4 and occupancy == [0] * 4


def test_threads_released_together_onto_a_new_address(smod):
    s = smod.Sellavar()
    assert crowd(s, lambda t: "fresh", 64, hold=0.0005) == (1, 64)
    assert list(s.locks) == ["fresh"] and list(s.lock_data) == ["fresh"]
