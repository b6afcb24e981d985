"""What a lost reply does to Quorvane with the client that `connect` builds (retries on).

Usage: ./run faults [--runs N]
1. The server applies a SET NX and its reply is lost: what `acquire` returns, after how long,
   and whether its own key stays behind; also a wait with no limit, watched for a while.
2. `disconnect` called from another thread while worker threads share the instance: keys left
   behind and errors raised, per run.
"""
import argparse
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from tarvex_locks.local_servers import EmbeddedRedis  # noqa: E402
from tools.proxies import ReplyDropper  # noqa: E402


def dropped_replies(port: int, runs: int) -> None:
    import redis
    from tarvex_data.lock.implementations.quorvane import Quorvane
    from tarvex_utils.models.data_models.address import Address

    admin = redis.Redis(port=port)
    proxy = ReplyDropper(port)
    q = Quorvane()
    q.connect("127.0.0.1", port=proxy.port)
    outcomes, seconds, left = {}, [], 0
    for i in range(runs):
        proxy.drop_next_set_replies(1)
        started = time.monotonic()
        try:
            outcome = repr(q.acquire(Address("lost", str(i)), timeout_ms=300))
        except Exception as e:  # noqa: BLE001 - the figure is whatever comes out
            outcome = type(e).__name__
        seconds.append(time.monotonic() - started)
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        left += admin.exists(f"lost/{i}")
    print(f"SET NX applied, reply lost, acquire(timeout_ms=300), {runs} runs:")
    print(f"  results {outcomes}; returned after {min(seconds):.2f} to {max(seconds):.2f} s;"
          f" own key left behind in {left} of {runs} runs; nothing raised")

    proxy.drop_next_set_replies(1)
    before = proxy.sets_seen
    waiter = threading.Thread(target=q.acquire, args=(Address("forever"),), daemon=True)
    waiter.start()
    time.sleep(3)
    print(f"  the same with timeout_ms=-1: still waiting after 3 s: {waiter.is_alive()},"
          f" {proxy.sets_seen - before} SET NX sent for its own key")
    admin.delete("forever")  # let the waiter through, so it ends
    waiter.join(5)
    q.disconnect()
    proxy.close()
    admin.close()


def disconnect_races(port: int, runs: int, threads: int = 8, sections: int = 300) -> None:
    import redis
    from tarvex_data.lock.implementations.quorvane import Quorvane
    from tarvex_utils.models.data_models.address import Address

    admin = redis.Redis(port=port)
    print(f"\ndisconnect() from another thread 0.2 s into {threads} threads x {sections}"
          f" acquire/release pairs, each thread on its own address, {runs} runs:")
    orphans = []
    for _ in range(runs):
        admin.flushdb()
        q = Quorvane()
        q.connect("127.0.0.1", port=port)
        errors, refused = [], [0]

        def work(i: int) -> None:
            a = Address("w", str(i))
            for _ in range(sections):
                try:
                    if q.acquire(a, timeout_ms=200):
                        q.release(a)
                    else:
                        refused[0] += 1
                except Exception as e:  # noqa: BLE001
                    errors.append(e)

        workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for w in workers:
            w.start()
        time.sleep(0.2)
        q.disconnect()
        for w in workers:
            w.join()
        q.disconnect()
        orphans.append(admin.dbsize())
        print(f"  keys left behind {orphans[-1]}, acquires refused afterwards {refused[0]},"
              f" errors raised {len(errors)}")
    print(f"  runs with a key left behind: {sum(1 for n in orphans if n)} of {runs}")
    admin.close()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=10, help="runs of each case (default 10)")
    args = parser.parse_args()
    with EmbeddedRedis() as server:
        dropped_replies(server.port, args.runs)
        disconnect_races(server.port, args.runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
