"""The function objects behind every member: attributes, descriptor, GC, weak references."""
import gc
import pickle
import weakref

import pytest

from conftest import QUORVANE


@pytest.fixture
def restore(qmod):
    f = qmod.Quorvane.release
    saved = {a: getattr(f, a) for a in ("__doc__", "__name__", "__qualname__", "__module__",
                                         "__annotations__")}
    yield f
    for attr, value in saved.items():
        setattr(f, attr, value)
    f.__dict__.clear()


def test_names_and_aliases(restore):
    f = restore
    assert f.__name__ == "release" == f.func_name and f.__qualname__ == "Quorvane.release"
    assert f.func_doc is f.__doc__ and f.func_globals is f.__globals__
    assert f.func_code is f.__code__ and f.__closure__ is None and f.func_closure is None
    assert f._is_coroutine is False and f.func_defaults is None
    f.__name__ = type("S", (str,), {})("other")
    assert f.__name__ == "other"
    for attr in ("__name__", "__qualname__"):
        with pytest.raises(TypeError, match=f"^{attr} must be set to a string object$"):
            setattr(f, attr, 1)
        with pytest.raises(TypeError, match=f"^{attr} must be set to a string object$"):
            delattr(f, attr)
    for attr in ("__globals__", "__code__", "__closure__", "_is_coroutine"):
        with pytest.raises(AttributeError):
            setattr(f, attr, None)


def test_doc_module_dict_annotations(restore):
    f = restore
    f.__doc__ = 42
    assert f.__doc__ == 42
    del f.__doc__
    assert f.__doc__ is None
    del f.__module__
    assert f.__module__ is None
    f.__module__ = QUORVANE
    f.extra = 1
    assert f.__dict__ == {"extra": 1} and f.func_dict is f.__dict__
    with pytest.raises(TypeError, match="^setting function's dictionary to a non-dict$"):
        f.__dict__ = []
    with pytest.raises(TypeError, match="^function's dictionary may not be deleted$"):
        del f.__dict__
    f.__annotations__ = None
    first = f.__annotations__
    assert first == {} and f.__annotations__ is first
    with pytest.raises(TypeError, match="^__annotations__ must be set to a dict object$"):
        f.__annotations__ = [1]
    del f.__annotations__
    assert f.__annotations__ == {} and f.__annotations__ is not first


def test_defaults_assignment(qmod):
    import warnings

    f = qmod.Quorvane.disconnect
    with pytest.raises(TypeError, match="^__defaults__ must be set to a tuple object$"):
        f.__defaults__ = [1]
    assert f.__defaults__ is None
    with pytest.raises(TypeError, match="^__kwdefaults__ must be set to a dict object$"):
        f.__kwdefaults__ = (1,)
    with pytest.warns(RuntimeWarning):
        f.__defaults__ = (1,)
    assert f.__defaults__ == (1,)
    with pytest.warns(RuntimeWarning):
        del f.__defaults__
    assert f.__defaults__ is None
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            f.__kwdefaults__ = {}


def test_descriptor_and_calls(qmod):
    Q = qmod.Quorvane
    q = Q()
    bound = q.disconnect
    assert bound.__self__ is q and bound.__func__ is Q.disconnect
    assert Q.__dict__["disconnect"].__get__(None, Q) is Q.disconnect
    assert q._get_redis_client is Q.__dict__["_get_redis_client"].__func__
    assert repr(Q.connect).startswith("<") and "Quorvane.connect" in repr(Q.connect)
    assert Q.connect.__reduce__() == "Quorvane.connect"
    assert pickle.loads(pickle.dumps(Q.connect)) is Q.connect


def test_weakref_gc_and_subclassing(qmod):
    f = qmod.Quorvane.release
    ref = weakref.ref(f)
    assert ref() is f
    ftype = type(f)
    assert ftype.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC
    assert gc.is_tracked(f)

    class Sub(ftype):
        pass

    assert issubclass(Sub, ftype)
    # the collector sees what the function holds, so cycles through it can be broken
    f.__dict__["probe"] = probe = object()
    try:
        assert f.__dict__ in gc.get_referents(f)
        assert f.__code__ in gc.get_referents(f)
    finally:
        del f.__dict__["probe"]
