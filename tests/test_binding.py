"""How calls bind to the members' parameters, and the exact refusals of bad calls."""
import warnings

import pytest

from conftest import QUORVANE, SOURCE, module_entries


class Addr:
    def to_string(self):
        return "k"


BAD_CALLS = [
    # (callable path, args, kwargs, message)
    ("connect", ("self",), {}, "connect() takes exactly 2 positional arguments (1 given)"),
    ("connect", ("self", "h", 6379), {}, "connect() takes exactly 2 positional arguments (3 given)"),
    ("connect", (), {"self": "self"}, "connect() takes exactly 2 positional arguments (1 given)"),
    ("connect", (), {"host": "h"}, "connect() takes exactly 2 positional arguments (0 given)"),
    ("connect", ("self", "h"), {"host": "h"},
     "connect() got multiple values for keyword argument 'host'"),
    ("connect", ("self", "h"), {"colour": 1},
     "connect() got an unexpected keyword argument 'colour'"),
    # the first offending keyword in passing order decides
    ("connect", ("self", "h"), {"zzz": 1, "host": "h"},
     "connect() got an unexpected keyword argument 'zzz'"),
    ("connect", ("self", "h"), {"port": 1, "self": 2, "zzz": 1},
     "connect() got multiple values for keyword argument 'self'"),
    ("connect", ("self", "h"), {"port": 1, "username": None, "password": None, "ssl": 1,
                                 "ssl_certfile": None, "ssl_keyfile": None, "ssl_ca_certs": None,
                                 "extra": 1},
     "connect() got an unexpected keyword argument 'extra'"),
    ("acquire", ("self", Addr(), 5), {}, "acquire() takes exactly 2 positional arguments (3 given)"),
    ("acquire", ("self",), {}, "acquire() takes exactly 2 positional arguments (1 given)"),
    ("acquire", ("self",), {"timeout_ms": 1},
     "acquire() takes exactly 2 positional arguments (1 given)"),
    ("acquire", ("self", Addr()), {"timeout": 1},
     "acquire() got an unexpected keyword argument 'timeout'"),
    ("release", ("self", Addr(), 1), {}, "release() takes exactly 2 positional arguments (3 given)"),
    ("disconnect", (), {}, "disconnect() takes exactly 1 positional argument (0 given)"),
    ("disconnect", ("self",), {"x": 1}, "disconnect() got an unexpected keyword argument 'x'"),
    ("_get_redis_client", ("h", "x"), {},
     "_get_redis_client() takes exactly 1 positional argument (2 given)"),
    ("_get_redis_client", (), {"self": 1, "host": "h"},
     "_get_redis_client() got an unexpected keyword argument 'self'"),
    ("is_connected", (), {}, "is_connected() takes exactly 1 positional argument (0 given)"),
]

LINES = {"connect": 50, "acquire": 98, "release": 146, "disconnect": 89,
         "_get_redis_client": 162, "is_connected": 22}


def function(qmod, name):
    obj = qmod.Quorvane.__dict__[name]
    return obj.fget if isinstance(obj, property) else getattr(obj, "__func__", obj)


@pytest.mark.parametrize("name,args,kwargs,message", BAD_CALLS)
def test_bad_calls_are_refused_before_the_body(qmod, name, args, kwargs, message):
    fn = function(qmod, name)
    q = qmod.Quorvane()
    args = tuple(q if a == "self" else a for a in args)
    kwargs = {k: (q if v == "self" else v) for k, v in kwargs.items()}
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    # binding errors carry the line of the definition
    assert module_entries(info.value) == [(f"{QUORVANE}.Quorvane.{name}", LINES[name])]
    # the classic call binds the same way
    with pytest.raises(TypeError, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
        fn.__call__(*args, **kwargs)


def test_self_may_be_given_by_keyword_on_the_class(qmod):
    q = qmod.Quorvane()
    calls = []
    q._get_redis_client = lambda host, **kw: calls.append((host, kw)) or "client"
    qmod.Quorvane.connect(self=q, host="h", port=1)
    assert q.client == "client" and calls[0][0] == "h" and calls[0][1]["port"] == 1


@pytest.mark.parametrize("kwargs,message", [
    ({"host": None}, "Argument 'host' has incorrect type (expected str, got NoneType)"),
    ({"host": type("S", (str,), {})("h")}, "Argument 'host' has incorrect type (expected str, got S)"),
    ({"host": "h", "port": True}, "Argument 'port' has incorrect type (expected int, got bool)"),
    ({"host": "h", "port": "1"}, "Argument 'port' has incorrect type (expected int, got str)"),
    ({"host": 1, "port": True}, "Argument 'host' has incorrect type (expected str, got int)"),
])
def test_exact_type_tests_add_no_entry(qmod, kwargs, message):
    q = qmod.Quorvane()
    q._get_redis_client = lambda *a, **k: pytest.fail("body ran")
    for fn in (q.connect, qmod.Quorvane._get_redis_client):
        with pytest.raises(TypeError) as info:
            fn(**kwargs)
        assert str(info.value) == message
        assert module_entries(info.value) == []


@pytest.mark.parametrize("value,name", [(True, "bool"), (None, "NoneType"), (1.5, "float")])
def test_timeout_type_is_tested_before_the_guard(qmod, value, name):
    with pytest.raises(TypeError) as info:
        qmod.Quorvane().acquire(Addr(), timeout_ms=value)
    assert str(info.value) == f"Argument 'timeout_ms' has incorrect type (expected int, got {name})"
    assert module_entries(info.value) == []


def test_classic_call_needs_string_keywords(qmod):
    import _testcapi

    with pytest.raises(TypeError, match="^keywords must be strings$"):
        _testcapi.pyvectorcall_call(qmod.Quorvane.connect, (qmod.Quorvane(), "h"), {1: 2})


def test_keyword_matched_by_text_when_not_interned(qmod):
    q = qmod.Quorvane()
    seen = {}
    q._get_redis_client = lambda host, **kw: seen.update(kw, host=host)
    name = "".join(["p", "o", "r", "t"])  # a str equal to, but not the same object as, "port"
    q.connect(**{"".join(["h", "o", "s", "t"]): "h", name: 7})
    assert seen["port"] == 7 and seen["host"] == "h"


def test_assigned_kwdefaults_warn_and_calls_keep_6379(qmod):
    fn = qmod.Quorvane.connect
    saved = fn.__kwdefaults__
    try:
        with pytest.warns(RuntimeWarning):
            fn.__kwdefaults__ = {**saved, "port": 1}
        assert fn.__kwdefaults__["port"] == 1
        q = qmod.Quorvane()
        ports = []
        q._get_redis_client = lambda host, **kw: ports.append(kw["port"])
        q.connect("h")
        assert ports == [6379]
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fn.__kwdefaults__ = saved
