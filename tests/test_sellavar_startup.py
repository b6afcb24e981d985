"""What `import tarvex_data.lock.implementations.sellavar` leaves behind."""
import glob
import importlib
import shutil
import subprocess
import sys
import threading
import time
import typing

import pytest

from conftest import SELLAVAR, SOURCE, run_python

SRC = SOURCE.format("sellavar")


def test_namespace_and_class(smod):
    from tarvex_data.data_models.lock_object import LockObject
    from tarvex_data.lock.base import LockBase

    names = [n for n in vars(smod) if n not in ("__name__", "__doc__", "__spec__")]
    assert names == ["__package__", "__loader__", "__file__", "__builtins__", "Lock", "time",
                     "Any", "Address", "LockObject", "LockBase", "Sellavar", "__test__"]
    assert smod.Lock is threading.Lock and smod.time is time.time and smod.Any is typing.Any
    assert smod.LockObject is LockObject and abs(smod.time() - time.time()) < 5
    assert smod.__test__ == {} and smod.__doc__ is None
    S = smod.Sellavar
    assert (S.__name__, S.__qualname__, S.__module__, S.__bases__) == (
        "Sellavar", "Sellavar", SELLAVAR, (LockBase,))
    assert S.__doc__ == "\n    A thread lock implementation of the LockBase class.\n    "
    assert len(S.__doc__) == 61 and "__annotations__" not in S.__dict__
    assert [n for n in S.__dict__ if n not in ("__module__", "__doc__")] == [
        "connect", "disconnect", "is_connected", "is_alive", "__init__", "acquire", "release"]
    assert all(type(S.__dict__[n]) is property for n in ("is_connected", "is_alive"))
    assert not any(type(v) is staticmethod for v in S.__dict__.values())


CODE_TABLE = [
    ("connect", 16, 1, 0, 15, ("self", "args", "kwargs"), {"args": "Any", "kwargs": "Any", "return": "None"}),
    ("disconnect", 18, 1, 0, 3, ("self",), {"return": "None"}),
    ("is_connected", 20, 1, 0, 3, ("self",), {"return": "bool"}),
    ("is_alive", 24, 1, 0, 3, ("self",), {"return": "bool"}),
    ("__init__", 28, 1, 0, 3, ("self",), {"return": "None"}),
    ("acquire", 32, 2, 3, 3, ("self", "target_address", "timeout_ms", "blocking", "metadata", "lock"),
     {"target_address": "Address", "timeout_ms": "int", "blocking": "bool",
      "metadata": "dict[str, Any] | None", "return": "bool"}),
    ("release", 67, 2, 0, 3, ("self", "target_address", "lock"),
     {"target_address": "Address", "return": "None"}),
]


@pytest.mark.parametrize("name,line,argc,kwonly,flags,varnames,annotations", CODE_TABLE)
def test_members(smod, name, line, argc, kwonly, flags, varnames, annotations):
    obj = smod.Sellavar.__dict__[name]
    fn = obj.fget if isinstance(obj, property) else obj
    code = fn.__code__
    assert (code.co_firstlineno, code.co_argcount, code.co_kwonlyargcount, code.co_flags) == (
        line, argc, kwonly, flags)
    assert code.co_varnames == varnames and code.co_filename == SRC and code.co_name == name
    assert list(fn.__annotations__.items()) == list(annotations.items())
    assert fn.__qualname__ == f"Sellavar.{name}" and fn.__module__ == SELLAVAR
    assert fn.__defaults__ is None and fn.__globals__ is vars(smod)
    has_doc = name in ("acquire", "release")
    assert (fn.__doc__ is not None) == has_doc
    expected_kw = {"timeout_ms": -1, "blocking": True, "metadata": None} if name == "acquire" else None
    assert fn.__kwdefaults__ == expected_kw


def test_docstrings(smod):
    S = smod.Sellavar
    assert S.release.__doc__ == (
        "\n        Releases the lock for a specific target (resource).\n\n        Args:\n"
        "            target_address (Address): The target address to release the lock for.\n\n"
        "        Raises:\n            RuntimeError: If the lock is not acquired.\n\n"
        "        Returns:\n            None\n        ")
    assert S.acquire.__doc__.split("\n")[7] == (
        "            metadata (dict[str, Any] | None, optional): The metadata to store with the "
        "lock. Defaults to None.")


def test_reload_and_both_modules_in_one_process(smod, qmod):
    cls = smod.Sellavar
    assert importlib.reload(smod) is smod and smod.Sellavar is cls
    assert type(smod.Sellavar.acquire).__name__ == type(qmod.Quorvane.acquire).__name__
    assert smod.Sellavar.acquire.__globals__ is not qmod.Quorvane.acquire.__globals__


def test_imports_without_redis_and_keeps_its_own_guard():
    from test_quorvane_startup import BLOCK_REDIS

    out = run_python(BLOCK_REDIS + """
import tarvex_data.lock.implementations.sellavar as s
print('redis' in sys.modules, s.Sellavar().acquire('a'))
try:
    import tarvex_data.lock.implementations.quorvane
except ModuleNotFoundError:
    print('quorvane needs redis')
""")
    assert out.stdout.split("\n")[:2] == ["False True", "quorvane needs redis"], out.stderr


def test_failed_start_up_entry():
    out = run_python("""
import sys, types, traceback
import tarvex_data.data_models
fake = types.ModuleType('tarvex_data.data_models.lock_object')
sys.modules['tarvex_data.data_models.lock_object'] = fake
try:
    import tarvex_data.lock.implementations.sellavar
except ImportError as e:
    last = [f for f in traceback.extract_tb(e.__traceback__) if f.filename.startswith('src')][-1]
    print(e, last.filename, last.name, last.lineno, sep='|')
fake.LockObject = object
import tarvex_data.lock.implementations.sellavar as s
print(s.LockObject is object)
""")
    assert out.stdout.splitlines() == [
        f"cannot import name LockObject|{SRC}|init {SELLAVAR}|7", "True"], out.stderr


LOAD_INTO_ANOTHER = """
import importlib.machinery, importlib.util, sys
name = 'tarvex_data.lock.implementations.sellavar'
loader = importlib.machinery.ExtensionFileLoader(name, sys.argv[1])
try:
    loader.exec_module(importlib.util.module_from_spec(
        importlib.util.spec_from_file_location(name, sys.argv[1], loader=loader)))
except RuntimeWarning as e:
    print(e)
"""


def test_loaded_into_another_minor_version_it_warns(smod):
    # the check compares the running interpreter with the one the module was built for
    built = f"{sys.version_info[0]}.{sys.version_info[1]}"
    other = "3.13" if built == "3.12" else "3.12"
    found = sorted(glob.glob(f"/root/.pyenv/versions/{other}.*/bin/python{other}"))
    found += [p for p in [shutil.which(f"python{other}")] if p]
    python = next((p for p in found if subprocess.run([p, "-c", "pass"]).returncode == 0), None)
    if python is None:
        pytest.skip(f"no Python {other} on this machine")
    out = subprocess.run([python, "-W", "error::RuntimeWarning", "-c", LOAD_INTO_ANOTHER,
                          smod.__file__], capture_output=True, text=True, timeout=60)
    assert out.stdout == (f"compile time Python version {built} of module '{SELLAVAR}' does not"
                          f" match runtime version {other}\n"), out.stderr
