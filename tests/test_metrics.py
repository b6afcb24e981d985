"""What the locks measure through OpenTelemetry, read back with the SDK's in-memory reader."""
import json
import time
import warnings

import pytest

from fakes import Address
from tarvex_locks import held, metrics
from tarvex_locks.tracked import LockLostWarning, TrackedQuorvane

pytest.importorskip("opentelemetry.sdk.metrics", reason="the test extra brings the SDK")


@pytest.fixture(scope="module")
def reader():
    from opentelemetry import metrics as otel
    from opentelemetry.sdk.metrics import MeterProvider
    from opentelemetry.sdk.metrics.export import InMemoryMetricReader

    reader = InMemoryMetricReader()
    otel.set_meter_provider(MeterProvider(metric_readers=[reader]))
    return reader


def points(reader):
    """{(instrument, sorted attributes): count or sum} of everything recorded so far."""
    found = {}
    data = reader.get_metrics_data()
    for resource in data.resource_metrics if data else []:
        for scope in resource.scope_metrics:
            for metric in scope.metrics:
                for point in metric.data.data_points:
                    value = point.count if hasattr(point, "count") else point.value
                    found[(metric.name, tuple(sorted(point.attributes.items())))] = value
    return found


def test_acquires_holds_losses_reaps_and_lapses_are_counted(reader, qmod, redis_server,
                                                            redis_client):
    Short = type("Short", (TrackedQuorvane,), {"heartbeat_ttl": 1.0})
    lock, other = Short(reap_dead=True), Short()
    for instance in (lock, other):
        instance.connect("127.0.0.1", port=redis_server.port)
    plain = qmod.Quorvane()
    plain.connect("127.0.0.1", port=redis_server.port)
    with held(plain, Address("m/plain")):  # an extension class, measured by held
        pass
    assert lock.acquire(Address("m/1")) and not other.acquire(Address("m/1"), timeout_ms=0)
    redis_client.set("m/1", "")  # taken by another meanwhile: this release is lost
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", LockLostWarning)
        lock.release(Address("m/1"))
    dead = {"tarvex.holder": {"host": "h", "pid": 1, "process": "gone", "token": "t"}}
    redis_client.set("m/2", json.dumps(dead))
    assert lock.acquire(Address("m/2"), timeout_ms=0)  # reaped
    lock.release(Address("m/2"))
    redis_client.delete("tarvex-locks:alive:" + __import__("tarvex_locks.holders").holders
                        .identity.process)  # the heartbeat key gone: the next refresh sees it
    deadline = time.monotonic() + 5
    tracked = (("lock.class", "Short"), ("lock.layout", "single"))
    while points(reader).get(("tarvex_locks.heartbeat.lapses", tracked), 0) < 1:
        assert time.monotonic() < deadline, points(reader)
        time.sleep(0.05)
    seen = points(reader)
    for instance in (lock, other, plain):
        instance.disconnect()
    for (name, attributes), _ in seen.items():
        assert all(key in ("lock.class", "lock.layout", "outcome") for key, _ in attributes)
    plain_labels = (("lock.class", "Quorvane"), ("lock.layout", "single"))
    assert seen[("tarvex_locks.acquires", plain_labels + (("outcome", "acquired"),))] == 1
    assert seen[("tarvex_locks.hold.duration", plain_labels)] == 1
    assert seen[("tarvex_locks.acquires", tracked + (("outcome", "acquired"),))] == 2
    assert seen[("tarvex_locks.acquires", tracked + (("outcome", "not_acquired"),))] == 1
    assert seen[("tarvex_locks.acquire.duration", tracked + (("outcome", "acquired"),))] == 2
    assert seen[("tarvex_locks.hold.duration", tracked)] == 2
    assert seen[("tarvex_locks.lost", tracked)] == 1
    assert seen[("tarvex_locks.reaps", tracked)] == 1
    assert seen[("tarvex_locks.heartbeat.lapses", tracked)] >= 1


def test_an_address_attribute_only_when_asked_for(reader, redis_server, monkeypatch):
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    monkeypatch.setattr(metrics, "address_attribute", lambda key: key.split("/", 1)[0])
    Unreachable = type("Unreachable", (TrackedQuorvane,), {"_get_redis_client": staticmethod(
        lambda host, **options: redis.Redis(host=host, port=1, retry=Retry(NoBackoff(), 0)))})
    lock = Unreachable()
    lock.connect("127.0.0.1", port=redis_server.port)
    with pytest.raises(redis.exceptions.ConnectionError):  # an error is an outcome too
        lock.acquire(Address("orders/9"))
    lock.disconnect()
    assert points(reader)[("tarvex_locks.acquires", (
        ("lock.address", "orders"), ("lock.class", "Unreachable"), ("lock.layout", "single"),
        ("outcome", "error")))] == 1
