"""connect, disconnect, is_connected, is_alive and _get_redis_client."""
import pytest
import redis

from conftest import QUORVANE, module_entries
from fakes import FakeClient

NAME = QUORVANE + ".Quorvane."


def test_new_instance_reports_no_connection(qmod):
    q = qmod.Quorvane()
    assert q.is_connected is False and q.is_alive is False
    with pytest.raises(AttributeError, match="client") as info:
        q.disconnect()
    assert module_entries(info.value) == [(NAME + "disconnect", 96)]


def test_connect_to_a_real_server(qmod, redis_server):
    q = qmod.Quorvane()
    assert q.connect("127.0.0.1", port=redis_server.port) is None
    assert isinstance(q.client, redis.Redis) and q.is_connected and q.is_alive
    kw = q.client.connection_pool.connection_kwargs
    assert (kw["host"], kw["port"], kw["username"], kw["password"]) == (
        "127.0.0.1", redis_server.port, None, None)
    first = q.client
    assert q.disconnect() is None and q.is_connected is True and q.client is first
    q.disconnect()  # close is called again, without error


def test_connect_passes_the_options_through_unchanged(qmod):
    q = qmod.Quorvane()
    seen = []
    q._get_redis_client = lambda *a, **kw: seen.append((a, kw)) or f"client{len(seen)}"
    q.connect("h")
    q.connect("h", ssl=1, password="pw", port=1)
    assert seen[0] == (("h",), {"port": 6379, "username": None, "password": None, "ssl": False,
                                "ssl_certfile": None, "ssl_keyfile": None, "ssl_ca_certs": None})
    assert list(seen[1][1]) == ["port", "username", "password", "ssl", "ssl_certfile",
                                "ssl_keyfile", "ssl_ca_certs"]
    assert seen[1][1]["ssl"] == 1 and type(seen[1][1]["ssl"]) is int and q.client == "client2"


def test_redis_constructor_gets_eight_keywords(qmod, monkeypatch):
    seen = []
    monkeypatch.setattr(redis, "Redis", lambda *a, **kw: seen.append((a, kw)) or "made")
    assert qmod.Quorvane._get_redis_client("h", port=2) == "made"
    assert seen == [((), {"host": "h", "port": 2, "username": None, "password": None,
                          "ssl": False, "ssl_certfile": None, "ssl_keyfile": None,
                          "ssl_ca_certs": None})]


def test_failed_connect_keeps_the_old_client(qmod, monkeypatch):
    q = qmod.Quorvane()
    q.client = old = FakeClient()

    def refuse(**kw):
        raise ValueError("bad")

    monkeypatch.setattr(redis, "Redis", refuse)
    with pytest.raises(ValueError) as info:
        q.connect("h")
    assert q.client is old
    assert module_entries(info.value) == [(NAME + "connect", 78), (NAME + "_get_redis_client", 180)]


def test_missing_redis_package_message_and_cause(qmod, monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "redis", None)
    with pytest.raises(ImportError) as info:
        qmod.Quorvane._get_redis_client("h")
    err = info.value
    assert type(err) is ImportError and err.args == (
        'Quorvane requires the redis package. Use pip "install tarvex_data[quorvane]"',)
    assert isinstance(err.__cause__, ImportError) and err.__context__ is err.__cause__
    assert module_entries(err) == [(NAME + "_get_redis_client", 178)]
    assert module_entries(err.__cause__) == [(NAME + "_get_redis_client", 175)]


@pytest.mark.parametrize("client,connected,alive,pinged", [
    (None, False, False, False),
    ([], True, False, False),
    (FakeClient(), True, True, True),
    (FakeClient(fail={"ping_reply": False}), True, True, True),
    (FakeClient(fail={"ping": redis.exceptions.ConnectionError("down")}), True, False, True),
    (FakeClient(fail={"ping": redis.exceptions.AuthenticationError("subclass")}), True, False, True),
])
def test_connection_state_readers(qmod, client, connected, alive, pinged):
    q = qmod.Quorvane()
    q.client = client
    assert q.is_connected is connected and q.is_alive is alive
    if isinstance(client, FakeClient):
        assert client.names() == ["ping"]


def test_is_alive_passes_other_ping_errors_and_restores_handled(qmod):
    q = qmod.Quorvane()
    q.client = FakeClient(fail={"ping": KeyError("x")})
    with pytest.raises(KeyError) as info:
        q.is_alive
    assert module_entries(info.value) == [(NAME + "is_alive", 44)]
    q.client = FakeClient(fail={"ping": redis.exceptions.ConnectionError("down")})
    try:
        raise OSError("outer")
    except OSError as outer:
        assert q.is_alive is False
        import sys

        assert sys.exception() is outer


def test_is_alive_lookup_failure_replaces_ping_error(qmod, monkeypatch):
    q = qmod.Quorvane()
    q.client = FakeClient(fail={"ping": KeyError("x")})
    monkeypatch.setattr(qmod, "redis", object())
    with pytest.raises(AttributeError) as info:
        q.is_alive
    assert isinstance(info.value.__context__, KeyError)
    assert module_entries(info.value) == [(NAME + "is_alive", 45)]


def test_reading_client_error_propagates(qmod):
    class Odd(qmod.Quorvane):
        @property
        def client(self):
            raise RuntimeError("broken")

    with pytest.raises(RuntimeError) as info:
        Odd().is_connected
    assert module_entries(info.value) == [(NAME + "is_connected", 30)]
