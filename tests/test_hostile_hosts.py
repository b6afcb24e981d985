"""What a host, a subclass or an embedding application may do to a module without breaking it.

Each scenario runs in its own interpreter: before these were mended, most of them crashed it.
"""
import json
import subprocess
import sys
import sysconfig

import pytest
import redis

from conftest import QUORVANE, SELLAVAR, run_python
from fakes import FakeClient
from test_quorvane_startup import HOST_WITH_HOOKS

WAITERS = {
    "quorvane": """
import redis
from tarvex_data.lock.implementations.quorvane import Quorvane
redis.Redis(port={port}).set('held', 'x')
lock = Quorvane(); lock.connect('127.0.0.1', port={port})
def wait():
    lock.acquire(Address('held'))
""",
    "sellavar": """
from tarvex_data.lock.implementations.sellavar import Sellavar
lock = Sellavar(); lock.acquire(Address('held'))
def wait():
    while True:
        lock.acquire(Address('held'), timeout_ms=5)
""",
}


@pytest.mark.parametrize("name", ["quorvane", "sellavar"])
def test_process_exits_while_daemon_threads_wait(redis_server, name):
    # the interpreter ends such threads with a forced unwind through the module's frames
    out = run_python("import threading, time\n"
                     "from tarvex_utils.models.data_models.address import Address\n"
                     + WAITERS[name].format(port=redis_server.port) + """
for _ in range(20):
    threading.Thread(target=wait, daemon=True).start()
time.sleep(0.3)
print('exiting')
""")
    assert (out.returncode, out.stdout, out.stderr) == (0, "exiting\n", "")


def test_module_entry_replaced_while_it_is_examined():
    out = run_python("""
import sys, types
import tarvex_data.lock.implementations.quorvane as qm
real = sys.modules['redis']
class Swapping(types.ModuleType):
    @property
    def __spec__(self):
        sys.modules['redis'] = real  # drops the table's reference to this module
        return None
swapping = Swapping('redis')
swapping.Redis = lambda **kw: ('client of', kw['host'])
sys.modules['redis'] = swapping
del swapping
q = qm.Quorvane()
q.connect('h')
print(q.client)
""")
    assert out.stdout == "('client of', 'h')\n", out.stderr


def test_handled_exception_of_a_generator_is_left_alone(qmod, monkeypatch):
    q = qmod.Quorvane()
    q.client = FakeClient(fail={"ping": redis.exceptions.ConnectionError("down")})

    def probe():
        yield q.is_alive
        try:
            q._get_redis_client("h")
        except ImportError as e:
            yield e
        yield sys.exception()

    monkeypatch.setitem(sys.modules, "redis", None)
    try:
        raise KeyError("the caller's")
    except KeyError as e:
        outer = e
        gen = probe()
        assert next(gen) is False
        error = next(gen)
    assert isinstance(error.__cause__, ImportError) and error.__context__ is error.__cause__
    assert error.__cause__.__context__ is outer
    assert next(gen) is None


def test_methods_of_a_class_that_escaped_a_failed_start_up():
    out = run_python(HOST_WITH_HOOKS + """
import gc
kept = []
def keep(cls, **kw):
    kept.append(cls)
    raise RuntimeError('refused')
RealBase.__init_subclass__ = classmethod(keep)
try:
    import tarvex_data.lock.implementations.quorvane
except RuntimeError:
    pass
gc.collect()
reuse = [{str(i): i} for i in range(10000)]  # the memory of anything freed is taken again
try:
    kept[0]().acquire(object())
except Exception as e:
    print(type(e).__name__, e)
""")
    assert out.stdout == ("TarvexConnectionError Quorvane is not connected. Call connect() "
                          "before using this method.\n"), out.stderr


def test_metaclass_dropped_while_the_namespace_fills():
    out = run_python("""
import gc, sys, types
class Namespace(dict):
    def __setitem__(self, key, value):
        super().__setitem__(key, value)
        if key == '__module__' and 'RealBase' in globals():
            global Meta  # the base changes class; nothing else holds Meta
            RealBase.__class__ = Other
            Meta = None
            gc.collect()
            reuse.extend(type(f'T{i}', (), {}) for i in range(200))
reuse = []
class Meta(type):
    @classmethod
    def __prepare__(mcls, name, bases):
        return Namespace()
    def __new__(mcls, name, bases, ns):
        if name == 'RealBase':
            return super().__new__(mcls, name, bases, dict(ns))
        print('built by', mcls.__name__)
        return type(name, (), dict(ns))
class Other(type):
    pass
class RealBase(metaclass=Meta):
    pass
import tarvex_data.lock
base = types.ModuleType('tarvex_data.lock.base')
base.LockBase = RealBase
sys.modules['tarvex_data.lock.base'] = base
import tarvex_data.lock.implementations.sellavar as s
print(sorted(s.Sellavar.__dict__)[-1])
""")
    assert out.stdout == "built by Meta\nrelease\n", out.stderr


def test_static_factory_copied_to_another_class(qmod):
    class Other:
        make = qmod.Quorvane.__dict__["_get_redis_client"].__func__

    o = Other()
    for client in (o.make("h", port=1), getattr(o, "make")("h", port=1)):
        assert client.connection_pool.connection_kwargs["host"] == "h"
        client.close()


EMBEDDER = r"""
#include <Python.h>
int main(int argc, char** argv) {
  for (int round = 0; round < 2; ++round) {
    Py_Initialize();
    if (PyRun_SimpleString(argv[1]) != 0) return 1;
    if (Py_FinalizeEx() != 0) return 1;
  }
  return 0;
}
"""


@pytest.fixture(scope="module")
def embedder(tmp_path_factory):
    folder = tmp_path_factory.mktemp("embed")
    (folder / "embed.c").write_text(EMBEDDER)
    libdir = sysconfig.get_config_var("LIBDIR")
    subprocess.run(["gcc", "embed.c", "-o", "embed", "-I" + sysconfig.get_paths()["include"],
                    "-L" + libdir, f"-Wl,-rpath,{libdir}",
                    "-lpython" + sysconfig.get_config_var("LDVERSION")],
                   cwd=folder, check=True)
    return folder / "embed"


@pytest.mark.parametrize("module,cls", [(QUORVANE, "Quorvane"), (SELLAVAR, "Sellavar")])
def test_import_after_the_interpreter_is_initialised_again(embedder, module, cls):
    script = f"""
import sys
sys.path[:0] = {json.dumps(sys.path)}
try:
    import {module} as m
    print('imported', m.{cls}.__name__)
except ImportError as e:
    print('refused:', e)
"""
    out = subprocess.run([embedder, script], capture_output=True, text=True, timeout=60)
    assert out.stdout.splitlines() == [
        f"imported {cls}",
        "refused: Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."], out.stderr


def test_failed_start_up_under_another_name_leaves_no_entry():
    out = run_python(HOST_WITH_HOOKS + """
import importlib.util, os
Meta.__new__ = lambda *a: 1 / 0
origin = importlib.util.find_spec('tarvex_data.lock.implementations.quorvane').origin
sys.path.insert(0, os.path.dirname(origin))
try:
    import quorvane
except ZeroDivisionError:
    pass
print('quorvane' in sys.modules, 'tarvex_data.lock.implementations.quorvane' in sys.modules)
""")
    assert out.stdout == "False False\n", out.stderr


def test_retried_start_up_holds_each_builtin_once():
    out = run_python("""
import builtins, sys, types
import tarvex_data.lock
real_round = builtins.round
def my_round(x):
    return real_round(x)
builtins.round = my_round
sys.modules['tarvex_data.lock.base'] = types.ModuleType('tarvex_data.lock.base')
counts = []
for _ in range(4):
    try:
        import tarvex_data.lock.implementations.sellavar
    except ImportError:
        counts.append(sys.getrefcount(my_round))
print(len(set(counts)))
""")
    assert out.stdout == "1\n", out.stderr


def test_a_members_code_object_run_as_a_function():
    out = run_python("""
import sys, types
from tarvex_data.lock.implementations.quorvane import Quorvane
from tarvex_data.lock.implementations.sellavar import Sellavar
for code, args in ((Sellavar.disconnect.__code__, (None,)),
                   (Quorvane.release.__code__, (None, None))):
    try:
        types.FunctionType(code, {})(*args)
    except AssertionError:
        print('AssertionError at line', sys.exc_info()[2].tb_next.tb_lineno)
sys.monitoring.use_tool_id(3, 'probe')
sys.monitoring.set_local_events(3, Quorvane.acquire.__code__, sys.monitoring.events.LINE)
print('instrumented')
""")
    assert out.stdout == ("AssertionError at line 18\nAssertionError at line 146\n"
                          "instrumented\n"), out.stderr


def test_imported_under_a_second_name_while_the_first_import_runs():
    out = run_python(HOST_WITH_HOOKS + """
import importlib.util, os
origin = importlib.util.find_spec('tarvex_data.lock.implementations.quorvane').origin
sys.path.insert(0, os.path.dirname(origin))
fail = [True]
def hook(cls, **kw):
    try:
        import quorvane
    except ImportError as e:
        print('refused:', e)
    sys.modules['alias'] = sys.modules['tarvex_data.lock.implementations.quorvane']
    if fail[0]:
        raise RuntimeError('refused')
RealBase.__init_subclass__ = classmethod(hook)
try:
    import tarvex_data.lock.implementations.quorvane
except RuntimeError:
    pass
names = ('quorvane', 'alias', 'tarvex_data.lock.implementations.quorvane')
print([name for name in names if name in sys.modules])
fail[0] = False
import tarvex_data.lock.implementations.quorvane as first
import quorvane
print(quorvane is first is sys.modules['alias'], quorvane.Quorvane.__name__)
""")
    refused = ("refused: Module 'quorvane' is being initialised by another import; it cannot be"
               " imported under a second name until that import has finished.\n")
    assert out.stdout == refused + "[]\n" + refused + "True Quorvane\n", out.stderr
