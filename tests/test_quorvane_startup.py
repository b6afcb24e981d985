"""What `import tarvex_data.lock.implementations.quorvane` leaves behind, and how it fails."""
import importlib
import json
import sys
import time
import typing

import pytest
import redis

from conftest import QUORVANE, SOURCE, run_python

SRC = SOURCE.format("quorvane")


def test_namespace_in_binding_order(qmod):
    from tarvex_data.errors import TarvexConnectionError
    from tarvex_data.lock.base import LockBase
    from tarvex_utils.models.data_models.address import Address

    names = [n for n in vars(qmod) if n not in ("__name__", "__doc__", "__spec__")]
    assert names == ["__package__", "__loader__", "__file__", "__builtins__", "json", "sleep",
                     "Any", "redis", "Address", "TarvexConnectionError", "LockBase", "Quorvane",
                     "__test__"]
    assert qmod.json is json and qmod.sleep is time.sleep and qmod.Any is typing.Any
    assert qmod.redis is redis and qmod.Address is Address and qmod.LockBase is LockBase
    assert qmod.TarvexConnectionError is TarvexConnectionError
    assert qmod.__builtins__ is __builtins__ or qmod.__builtins__.__name__ == "builtins"
    assert qmod.__test__ == {} and qmod.__doc__ is None
    assert qmod.__file__ == qmod.__spec__.origin and qmod.__loader__ is qmod.__spec__.loader
    assert qmod.__package__ == "tarvex_data.lock.implementations"


def test_class_shape(qmod):
    Q = qmod.Quorvane
    assert (Q.__name__, Q.__qualname__, Q.__module__) == ("Quorvane", "Quorvane", QUORVANE)
    assert Q.__bases__ == (qmod.LockBase,)
    assert Q.__doc__ == ("\n    Represents a Redis-based lock mechanism.\n\n    Attributes:\n"
                         "        client (redis.Redis): The Redis client used for lock operations."
                         "\n    ")
    assert len(Q.__doc__) == 140
    assert Q.__annotations__ == {"client": "redis.Redis"}
    members = [n for n in Q.__dict__ if not n.startswith("__")]
    assert members == ["is_connected", "is_alive", "connect", "disconnect", "acquire", "release",
                       "_get_redis_client"]
    assert "__init__" not in Q.__dict__
    for name in ("is_connected", "is_alive"):
        prop = Q.__dict__[name]
        assert type(prop) is property and prop.fset is None and prop.fdel is None
        assert prop.fget.__qualname__ == f"Quorvane.{name}"
    assert type(Q.__dict__["_get_redis_client"]) is staticmethod
    fn_type = type(Q.__dict__["connect"])
    for name in ("connect", "disconnect", "acquire", "release"):
        assert type(Q.__dict__[name]) is fn_type
    assert not hasattr(Q(), "client")


CODE_TABLE = [
    ("is_connected", 22, 1, 0, ("self",)),
    ("is_alive", 32, 1, 0, ("self",)),
    ("connect", 50, 2, 7, ("self", "host", "port", "username", "password", "ssl",
                           "ssl_certfile", "ssl_keyfile", "ssl_ca_certs")),
    ("disconnect", 89, 1, 0, ("self",)),
    ("acquire", 98, 2, 3, ("self", "target_address", "timeout_ms", "blocking", "metadata", "msg",
                           "_set_command", "_set_command", "_timing", "_timeout_seconds",
                           "_result")),
    ("release", 146, 2, 0, ("self", "target_address", "msg")),
    ("_get_redis_client", 162, 1, 7, ("host", "port", "username", "password", "ssl",
                                      "ssl_certfile", "ssl_keyfile", "ssl_ca_certs", "redis",
                                      "exc", "msg")),
]


def member(Q, name):
    obj = Q.__dict__[name]
    return obj.fget if isinstance(obj, property) else getattr(obj, "__func__", obj)


@pytest.mark.parametrize("name,line,argc,kwonly,varnames", CODE_TABLE)
def test_code_objects(qmod, name, line, argc, kwonly, varnames):
    fn = member(qmod.Quorvane, name)
    code = fn.__code__
    assert (code.co_firstlineno, code.co_argcount, code.co_kwonlyargcount) == (line, argc, kwonly)
    assert code.co_posonlyargcount == 0 and code.co_flags == 3
    assert code.co_varnames == varnames
    assert (code.co_name, code.co_qualname, code.co_filename) == (name, name, SRC)
    assert code.co_consts == () and code.co_names == () and code.co_stacksize == 1
    assert code.co_freevars == () and code.co_cellvars == ()
    assert fn.__defaults__ is None and fn.__module__ == QUORVANE
    assert fn.__globals__ is vars(qmod) and fn.__qualname__ == f"Quorvane.{name}"


CONNECT_DEFAULTS = {"port": 6379, "username": None, "password": None, "ssl": False,
                    "ssl_certfile": None, "ssl_keyfile": None, "ssl_ca_certs": None}
CONNECT_ANNOTATIONS = {"host": "str", "port": "int", "username": "str | None",
                       "password": "str | None", "ssl": "bool", "ssl_certfile": "str | None",
                       "ssl_keyfile": "str | None", "ssl_ca_certs": "str | None"}
LOCK_ANNOTATIONS = {"target_address": "Address", "timeout_ms": "int", "blocking": "bool",
                    "metadata": "dict[str, Any] | None", "return": "bool"}


def test_defaults_and_annotations(qmod):
    Q = qmod.Quorvane
    grc = Q.__dict__["_get_redis_client"].__func__
    assert Q.connect.__kwdefaults__ == CONNECT_DEFAULTS == grc.__kwdefaults__
    assert list(Q.connect.__kwdefaults__) == list(CONNECT_DEFAULTS)
    assert Q.acquire.__kwdefaults__ == {"timeout_ms": -1, "blocking": True, "metadata": None}
    for fn in (Q.disconnect, Q.release, member(Q, "is_alive")):
        assert fn.__kwdefaults__ is None and fn.__defaults__ is None
    assert list(Q.connect.__annotations__.items()) == list(
        {**CONNECT_ANNOTATIONS, "return": "None"}.items())
    assert list(grc.__annotations__.items()) == list({**CONNECT_ANNOTATIONS, "return": "Any"}.items())
    assert list(Q.acquire.__annotations__.items()) == list(LOCK_ANNOTATIONS.items())
    assert Q.release.__annotations__ == {"target_address": "Address", "return": "None"}
    assert member(Q, "is_connected").__annotations__ == {"return": "bool"}
    assert Q.disconnect.__annotations__ == {"return": "None"}


def test_docstrings(qmod):
    Q = qmod.Quorvane
    assert member(Q, "is_connected").__doc__ == (
        "\n        Checks if the Redis client is connected.\n\n        Returns:\n"
        "            bool: True if the Redis client is connected, False otherwise.\n        ")
    assert Q.disconnect.__doc__ == "\n        Disconnects the Redis client.\n\n        Returns:\n            None\n        "
    lines = Q.acquire.__doc__.split("\n")
    assert lines[7] == ("            metadata (dict[str, Any] | None, optional): Additional metadata "
                        "to associate with the lock. Defaults to None")
    assert lines[-1] == " " * 8 and lines[8] == "" and lines[0] == ""
    assert Q.connect.__doc__.count("\n") == 15
    assert Q.__dict__["_get_redis_client"].__func__.__doc__ is None
    assert Q.release.__doc__.split("\n")[4] == "            target_address (Address): The address to unlock."


def test_second_import_and_reload_keep_objects(qmod):
    cls = qmod.Quorvane
    again = importlib.import_module(QUORVANE)
    assert again is qmod
    assert importlib.reload(qmod) is qmod and qmod.Quorvane is cls
    del sys.modules[QUORVANE]
    try:
        other = importlib.import_module(QUORVANE)
    finally:
        sys.modules[QUORVANE] = qmod
    assert other is qmod and other.Quorvane is cls


def test_top_level_name_registers_full_name():
    out = run_python(
        "import sys, importlib.util\n"
        "spec = importlib.util.find_spec('tarvex_data.lock.implementations.quorvane')\n"
        "sys.path.insert(0, spec.submodule_search_locations and '' or spec.origin.rsplit('/', 1)[0])\n"
        "import quorvane\n"
        "full = sys.modules['tarvex_data.lock.implementations.quorvane']\n"
        "print(full is quorvane, sys.modules['quorvane'] is quorvane, quorvane.Quorvane.__module__)\n")
    assert out.stdout.split() == ["True", "True", QUORVANE], out.stderr


@pytest.mark.parametrize("name", ["quorvane", "sellavar"])
def test_second_interpreter_is_refused(tmp_path, name):
    report = tmp_path / "report.txt"
    out = run_python(
        f"import _testcapi, tarvex_data.lock.implementations.{name}\n"
        f"code = '''\ntry:\n    import tarvex_data.lock.implementations.{name}\n"
        f"except ImportError as e:\n    open({str(report)!r}, 'w').write(type(e).__name__ + ':' + str(e))\n'''\n"
        "print(_testcapi.run_in_subinterp(code))\n")
    assert out.returncode == 0, out.stderr
    assert report.read_text() == ("ImportError:Interpreter change detected - this module can only be "
                                  "loaded into one interpreter per process.")


BLOCK_REDIS = """
import sys, importlib.abc, traceback
class Block(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path, target=None):
        if name == 'redis' or name.startswith('redis.'):
            raise ModuleNotFoundError("No module named 'redis'", name='redis')
blocker = Block()
sys.meta_path.insert(0, blocker)
for name in [n for n in sys.modules if n == 'redis' or n.startswith('redis.')]:
    del sys.modules[name]
"""


def test_import_fails_at_line_5_without_redis_and_recovers():
    out = run_python(BLOCK_REDIS + """
try:
    import tarvex_data.lock.implementations.quorvane
except ModuleNotFoundError as e:
    last = [f for f in traceback.extract_tb(e.__traceback__) if f.filename.startswith('src')][-1]
    print(last.filename, last.name, last.lineno, sep='|')
sys.meta_path.remove(blocker)
import tarvex_data.lock.implementations.quorvane as q
print(q.Quorvane.__name__, q.redis.__name__)
""")
    lines = out.stdout.splitlines()
    assert lines == [f"{SRC}|init {QUORVANE}|5", "Quorvane redis"], out.stderr


HOST_WITH_HOOKS = """
import sys, types, json
log = []
class Namespace(dict):
    def __setitem__(self, key, value):
        log.append(key)
        super().__setitem__(key, value)
class Meta(type):
    @classmethod
    def __prepare__(mcls, name, bases, **kw):
        log.append(['prepare', name, [b.__name__ for b in bases], kw])
        return Namespace()
    def __new__(mcls, name, bases, ns, **kw):
        log.append(['new', type(ns).__name__, kw])
        return super().__new__(mcls, name, bases, dict(ns))
class RealBase(metaclass=Meta):
    def __init_subclass__(cls, **kw):
        log.append(['init_subclass', cls.__name__, kw])
class Entry:
    def __mro_entries__(self, bases):
        log.append(['mro_entries', len(bases)])
        return ENTRIES
ENTRIES = (RealBase,)
import tarvex_data.lock
base = types.ModuleType('tarvex_data.lock.base')
base.LockBase = Entry()
sys.modules['tarvex_data.lock.base'] = base
log.clear()
"""


def test_host_base_through_mro_entries_and_prepare():
    out = run_python(HOST_WITH_HOOKS + """
import tarvex_data.lock.implementations.quorvane as q
Q = q.Quorvane
print(json.dumps(log))
print(Q.__orig_bases__ == (base.LockBase,), Q.__bases__ == (RealBase,), type(Q).__name__)
""")
    log_line, check = out.stdout.splitlines()
    assert check == "True True Meta", out.stderr
    assert json.loads(log_line) == [
        ["mro_entries", 1], ["prepare", "Quorvane", ["RealBase"], {}],
        "__module__", "__qualname__", "__doc__", "__orig_bases__", "__annotations__",
        "is_connected", "is_alive", "connect", "disconnect", "acquire", "release",
        "_get_redis_client", ["new", "Namespace", {}], ["init_subclass", "Quorvane", {}]]


@pytest.mark.parametrize("setup,error,line", [
    ("ENTRIES = [RealBase]", "TypeError: __mro_entries__ must return a tuple", 12),
    ("Meta.__new__ = lambda *a: 1/0", "ZeroDivisionError: division by zero", 12),
    ("del base.LockBase\nbase.Other = 1", "ImportError: cannot import name LockBase", 9),
])
def test_failed_start_up_entry_and_retry(setup, error, line):
    out = run_python(HOST_WITH_HOOKS + setup + """
import traceback
try:
    import tarvex_data.lock.implementations.quorvane
except Exception as e:
    last = [f for f in traceback.extract_tb(e.__traceback__) if f.filename.startswith('src')][-1]
    print(type(e).__name__ + ': ' + str(e), last.name, last.lineno, sep='|')
print('tarvex_data.lock.implementations.quorvane' in sys.modules)
""")
    assert out.stdout.splitlines() == [f"{error}|init {QUORVANE}|{line}", "False"], out.stderr


def test_module_state_is_process_wide_not_per_module(qmod):
    # The interpreter resets the state pointer of a module handed back by create; nothing may
    # depend on it, so a method keeps working after a second import.
    spec = importlib.util.spec_from_file_location(QUORVANE, qmod.__file__)
    importlib.util.module_from_spec(spec)
    with pytest.raises(qmod.TarvexConnectionError):
        qmod.Quorvane().release(object())
