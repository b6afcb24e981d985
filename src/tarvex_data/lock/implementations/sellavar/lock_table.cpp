// Sellavar's lock table: one threading.Lock and one LockObject record per address.
#include <cstring>

#include "ref.hpp"
#include "sellavar.hpp"

namespace sellavar {

using frame::fail;
using frame::Function;
using frame::Ref;

namespace {

// `LockObject(expires_at=..., data=...)` for the first acquire of an address.
Ref make_record(Function* fn, PyObject* timeout_ms, PyObject* metadata) {
  Ref record_type = Ref::steal(frame::lookup_global(info, k.LockObject));
  if (!record_type) return fail(fn, 55), Ref();
  Ref expires_at;
  int limited = PyObject_RichCompareBool(timeout_ms, k.zero, Py_GE);
  if (limited > 0) {
    Ref clock = Ref::steal(frame::lookup_global(info, k.time));
    Ref now = clock ? Ref::steal(PyObject_CallNoArgs(clock.get())) : Ref();
    Ref ms = now ? Ref::steal(PyNumber_Multiply(now.get(), k.thousand)) : Ref();
    Ref rounded = ms ? Ref::steal(PyObject_CallOneArg(k.round_fn, ms.get())) : Ref();
    if (rounded) expires_at = Ref::steal(PyNumber_Add(rounded.get(), timeout_ms));
  } else if (limited == 0) {
    expires_at = Ref::borrow(k.no_timeout);
  }
  if (!expires_at) return fail(fn, 56), Ref();
  int has_data = PyObject_IsTrue(metadata);
  Ref data = has_data > 0 ? Ref::borrow(metadata)
                          : has_data == 0 ? Ref::steal(PyDict_New()) : Ref();
  if (!data) return fail(fn, 57), Ref();
  PyObject* args[] = {expires_at.get(), data.get()};
  Ref record = Ref::steal(PyObject_Vectorcall(record_type.get(), args, 0, k.kw_record));
  if (!record) return fail(fn, 55), Ref();
  return record;
}

bool store_record(Function* fn, PyObject* self, PyObject* address, PyObject* timeout_ms,
                  PyObject* metadata) {
  Ref record = make_record(fn, timeout_ms, metadata);
  if (!record) return false;
  Ref lock_data = Ref::steal(PyObject_GetAttr(self, k.lock_data));
  if (!lock_data || PyObject_SetItem(lock_data.get(), address, record.get()) < 0) {
    return fail(fn, 55), false;
  }
  return true;
}

Ref new_lock(Function* fn) {
  Ref factory = Ref::steal(frame::lookup_global(info, k.Lock));
  Ref lock = factory ? Ref::steal(PyObject_CallNoArgs(factory.get())) : Ref();
  if (!lock) fail(fn, 54);
  return lock;
}

// The address's lock, made on first use. For a plain dict the test and the insertion are one
// step, so threads racing on a new address all end up on the one lock stored; only the
// thread whose lock was stored writes the record.
Ref lock_for(Function* fn, PyObject* self, PyObject* address, PyObject* timeout_ms,
             PyObject* metadata) {
  Ref locks = Ref::steal(PyObject_GetAttr(self, k.locks));
  if (!locks) return fail(fn, 53), Ref();
  if (PyDict_CheckExact(locks.get())) {
    PyObject* found = PyDict_GetItemWithError(locks.get(), address);
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) return fail(fn, 53), Ref();
    Ref made = new_lock(fn);
    if (!made) return Ref();
    PyObject* stored = PyDict_SetDefault(locks.get(), address, made.get());
    if (stored == nullptr) return fail(fn, 54), Ref();
    Ref lock = Ref::borrow(stored);
    if (stored == made.get() && !store_record(fn, self, address, timeout_ms, metadata)) {
      return Ref();
    }
    return lock;
  }
  int known = PySequence_Contains(locks.get(), address);
  if (known < 0) return fail(fn, 53), Ref();
  if (!known) {
    Ref made = new_lock(fn);
    if (!made) return Ref();
    if (PyObject_SetItem(locks.get(), address, made.get()) < 0) return fail(fn, 54), Ref();
    if (!store_record(fn, self, address, timeout_ms, metadata)) return Ref();
  }
  Ref lock = Ref::steal(PyObject_GetItem(locks.get(), address));
  if (!lock) fail(fn, 60);
  return lock;
}

// The interpreter's own lock type; classes made in Python are never immutable types.
bool is_thread_lock(PyObject* lock) {
  static PyTypeObject* known = nullptr;
  PyTypeObject* type = Py_TYPE(lock);
  if (type == known) return true;
  if (known == nullptr && (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) &&
      std::strcmp(type->tp_name, "_thread.lock") == 0) {
    known = type;
    return true;
  }
  return false;
}

// lock.acquire(timeout=...) or lock.acquire(blocking=False). On the interpreter's own lock the
// same call is made positionally, which means the same and builds no keyword dict.
PyObject* call_acquire(PyObject* lock, PyObject* value, PyObject* kwnames, bool wait) {
  PyObject* args[] = {nullptr, lock, value, value};
  constexpr size_t offset = PY_VECTORCALL_ARGUMENTS_OFFSET;
  if (!is_thread_lock(lock)) return PyObject_VectorcallMethod(k.acquire, args + 1, 1 | offset, kwnames);
  if (!wait) return PyObject_VectorcallMethod(k.acquire, args + 1, 2 | offset, nullptr);
  if (value == k.no_timeout) return PyObject_VectorcallMethod(k.acquire, args + 1, 1 | offset, nullptr);
  args[2] = Py_True;
  return PyObject_VectorcallMethod(k.acquire, args + 1, 3 | offset, nullptr);
}

}  // namespace

PyObject* do_nothing(Function*, PyObject* const*) { Py_RETURN_NONE; }
PyObject* always_true(Function*, PyObject* const*) { Py_RETURN_TRUE; }

PyObject* init(Function* fn, PyObject* const* p) {
  Ref locks = Ref::steal(PyDict_New());
  if (!locks || PyObject_SetAttr(p[0], k.locks, locks.get()) < 0) return fail(fn, 29);
  Ref lock_data = Ref::steal(PyDict_New());
  if (!lock_data || PyObject_SetAttr(p[0], k.lock_data, lock_data.get()) < 0) {
    return fail(fn, 30);
  }
  Py_RETURN_NONE;
}

PyObject* acquire(Function* fn, PyObject* const* p) {
  PyObject *timeout_ms = p[2], *blocking = p[3];
  Ref lock = lock_for(fn, p[0], p[1], timeout_ms, p[4]);
  if (!lock) return nullptr;
  int wait = PyObject_IsTrue(blocking);
  if (wait < 0) return fail(fn, 62);
  if (!wait) {
    PyObject* r = call_acquire(lock.get(), Py_False, k.kw_blocking, false);
    return r ? r : fail(fn, 65);
  }
  // timeout_ms is exactly an int here, so its sign decides `timeout_ms >= 0`
  Ref timeout = _PyLong_Sign(timeout_ms) >= 0
                    ? Ref::steal(PyNumber_TrueDivide(timeout_ms, k.thousand))
                    : Ref::borrow(k.no_timeout);
  if (!timeout) return fail(fn, 63);
  PyObject* r = call_acquire(lock.get(), timeout.get(), k.kw_timeout, true);
  return r ? r : fail(fn, 63);
}

PyObject* release(Function* fn, PyObject* const* p) {
  PyObject* address = p[1];
  Ref locks = Ref::steal(PyObject_GetAttr(p[0], k.locks));
  if (!locks) return fail(fn, 81);
  Ref lock;
  if (PyDict_CheckExact(locks.get())) {
    PyObject* found = PyDict_GetItemWithError(locks.get(), address);
    if (found == nullptr) {
      if (PyErr_Occurred()) return fail(fn, 81);
      Py_RETURN_NONE;
    }
    lock = Ref::borrow(found);
  } else {
    int known = PySequence_Contains(locks.get(), address);
    if (known < 0) return fail(fn, 81);
    if (!known) Py_RETURN_NONE;
    if (!(lock = Ref::steal(PyObject_GetItem(locks.get(), address)))) return fail(fn, 82);
  }
  Ref result = Ref::steal(PyObject_CallMethodNoArgs(lock.get(), k.release));
  if (!result) return fail(fn, 83);
  Py_RETURN_NONE;
}

}  // namespace sellavar
