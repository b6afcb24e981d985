"""Random calls of every member against a small model of the binding rules."""
import inspect
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from conftest import QUORVANE, SELLAVAR, module_entries
from fakes import FakeClient

SELF = object()  # stands for a fresh instance, made per call so that no lock is left held


class Sub(str):
    pass


VALUES = st.one_of(st.just(SELF), st.text(max_size=3), st.builds(Sub, st.text(max_size=3)),
                   st.integers(-3, 3), st.booleans(), st.none(), st.floats(allow_nan=False),
                   st.just({}), st.just({"m": 1}), st.just([1]))
UNKNOWN = ["zzz", "timeout", "hosts", "args", "kwargs"]


def members():
    from importlib import import_module

    out = []
    for module_name, cls_name in ((QUORVANE, "Quorvane"), (SELLAVAR, "Sellavar")):
        module = import_module(module_name)
        cls = getattr(module, cls_name)
        for name, obj in cls.__dict__.items():
            if isinstance(obj, property):
                obj = obj.fget
            elif isinstance(obj, staticmethod):
                obj = obj.__func__
            if type(obj).__name__ not in ("lock_function", "lock_static_function"):
                continue
            out.append((module_name.rsplit(".", 1)[1], cls, obj))
    return out


MEMBERS = members()


def model(fn, nargs, kwnames, values):
    """The expected TypeError text of a call, or None when it binds."""
    code = fn.__code__
    names = code.co_varnames[:code.co_argcount + code.co_kwonlyargcount]
    n, star_args = code.co_argcount, bool(code.co_flags & inspect.CO_VARARGS)
    star_kwargs = bool(code.co_flags & inspect.CO_VARKEYWORDS)
    pos, kwonly = names[:n], names[n:]
    count = (f"{fn.__name__}() takes {'at least' if star_args else 'exactly'} {n} positional "
             f"argument{'' if n == 1 else 's'} ({{}} given)")
    if (nargs > n and not star_args) or (nargs < n and not kwnames):
        return count.format(nargs)
    for i in range(nargs, n):
        if pos[i] not in kwnames:
            return count.format(i)
    for kw in kwnames:
        if kw in pos[:nargs]:
            return f"{fn.__name__}() got multiple values for keyword argument '{kw}'"
        if kw not in names and not star_kwargs:
            return f"{fn.__name__}() got an unexpected keyword argument '{kw}'"
    bound = dict(zip(pos, values[:nargs]))
    bound.update({k: v for k, v in zip(kwnames, values[nargs:])})
    for name in names:
        expected = {"host": str, "port": int, "timeout_ms": int}.get(name)
        if expected and name in bound and type(bound[name]) is not expected:
            return (f"Argument '{name}' has incorrect type (expected {expected.__name__}, "
                    f"got {type(bound[name]).__name__})")
    return None


def kind(expected):
    if expected is None:
        return "binds"
    if expected.startswith("Argument"):
        return "type of " + expected.split("'")[1]
    return " ".join(expected.split("() ", 1)[1].split(" ")[:3])


def python_accepts(fn, nargs, kwnames):
    """Whether a Python function of the same signature accepts the call's shape."""
    try:
        inspect.signature(fn).bind(*range(nargs), **{k: 0 for k in kwnames})
    except TypeError:
        return False
    return True


def instance(cls):
    obj = cls()
    if cls.__name__ == "Quorvane":
        obj.client = FakeClient()
        obj._get_redis_client = lambda *a, **k: FakeClient()
    return obj


# the draws use only Hypothesis's own generator; another thread of the suite may move the global
# `random` state meanwhile, which Hypothesis would report as a strategy using it
@pytest.mark.filterwarnings("ignore::hypothesis.errors.HypothesisDeprecationWarning")
@settings(max_examples=10_000, derandomize=True, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(member=st.sampled_from(MEMBERS), data=st.data())
def test_binding_matches_the_model(member, data):
    # mostly near-right calls, so that every rule is reached: the right count give or take
    # one, the instance first, keywords mostly among the member's own names
    fn = member[2]
    code = fn.__code__
    own = list(code.co_varnames[:code.co_argcount + code.co_kwonlyargcount])
    n = code.co_argcount
    count = data.draw(st.sampled_from([0, n - 1, n, n, n, n + 1, n + 2]).filter(lambda c: c >= 0))
    positional = data.draw(st.lists(VALUES, min_size=count, max_size=count))
    if positional and own[:1] == ["self"] and data.draw(st.integers(0, 3)):
        positional[0] = SELF
    names = st.sampled_from(own + ["self"] + UNKNOWN) if own else st.sampled_from(UNKNOWN)
    keywords = data.draw(st.dictionaries(names, VALUES, max_size=4))
    module, cls, fn = member
    fresh = instance(cls)
    args = [fresh if v is SELF else v for v in positional]
    kwargs = {k: (fresh if v is SELF else v) for k, v in keywords.items()}
    expected = model(fn, len(args), list(kwargs), args + list(kwargs.values()))
    entry = (f"tarvex_data.lock.implementations.{module}.{fn.__qualname__}",
             fn.__code__.co_firstlineno)
    import redis

    real_client = redis.Redis  # the static factory builds one; its constructor draws randoms
    redis.Redis = lambda **options: FakeClient()
    try:
        fn(*args, **kwargs)
        got = None
    except TypeError as e:
        entries = module_entries(e, module)
        if str(e).startswith("Argument '") and not entries:
            got = str(e)
        elif entries == [entry]:
            got = str(e)
        else:
            got = None  # the body ran and failed on its own, which the fuzz does not judge
    except Exception:
        got = None
    finally:
        redis.Redis = real_client
    event(kind(expected))  # shown by --hypothesis-show-statistics
    assert got == expected
    shape_error = expected is not None and not expected.startswith("Argument '")
    assert python_accepts(fn, len(args), list(kwargs)) is (not shape_error)


@pytest.mark.parametrize("module,cls", [(QUORVANE, "Quorvane"), (SELLAVAR, "Sellavar")])
def test_classic_call_with_non_string_keyword(module, cls):
    import _testcapi

    klass = getattr(sys.modules[module], cls)
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        _testcapi.pyvectorcall_call(klass.release, (klass(),), {("not", "str"): 1})
