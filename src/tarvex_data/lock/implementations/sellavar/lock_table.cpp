// Sellavar's lock table: one threading.Lock and one LockObject record per address.
#include <cstring>

#include "ref.hpp"
#include "sellavar.hpp"
#include "statements.hpp"

namespace sellavar {

using frame::fail;
using frame::Function;
using frame::Ref;

namespace {

using A = line::Acquire;
using R = line::Release;

// `timeout_ms >= 0`; exactly an int here, so the comparison runs no Python code.
int non_negative(PyObject* timeout_ms) {
  return PyObject_RichCompareBool(timeout_ms, k.zero, Py_GE);
}

// `address in self.locks`
int known(Function* fn, PyObject* self, PyObject* address, int line) {
  Ref locks = Ref::steal(PyObject_GetAttr(self, k.locks));
  int found = !locks ? -1
              : PyDict_CheckExact(locks.get()) ? PyDict_Contains(locks.get(), address)
                                               : PySequence_Contains(locks.get(), address);
  if (found < 0) frame::add_entry(fn, line);
  return found;
}

// `self.locks[address]`
Ref fetch(Function* fn, PyObject* self, PyObject* address, int line) {
  Ref locks = Ref::steal(PyObject_GetAttr(self, k.locks));
  Ref lock = locks ? Ref::steal(PyObject_GetItem(locks.get(), address)) : Ref();
  if (!lock) return fail(fn, line);
  return lock;
}

// `LockObject(expires_at=..., data=...)` for the first acquire of an address.
Ref make_record(Function* fn, PyObject* timeout_ms, PyObject* metadata) {
  Ref record_type = frame::lookup_global(fn, k.LockObject);
  if (!record_type) return fail(fn, A::record);
  Ref expires_at;
  int limited = non_negative(timeout_ms);
  if (limited > 0) {
    Ref clock = frame::lookup_global(fn, k.time);
    Ref now = clock ? Ref::steal(PyObject_CallNoArgs(clock.get())) : Ref();
    Ref ms = now ? Ref::steal(PyNumber_Multiply(now.get(), k.thousand)) : Ref();
    Ref round_fn = Ref::borrow(k.round_fn);
    Ref rounded = ms ? Ref::steal(PyObject_CallOneArg(round_fn.get(), ms.get())) : Ref();
    if (rounded) expires_at = Ref::steal(PyNumber_Add(rounded.get(), timeout_ms));
  } else if (limited == 0) {
    expires_at = Ref::borrow(k.no_timeout);
  }
  if (!expires_at) return fail(fn, A::expiry);
  int has_data = PyObject_IsTrue(metadata);
  Ref data = has_data > 0 ? Ref::borrow(metadata)
                          : has_data == 0 ? Ref::steal(PyDict_New()) : Ref();
  if (!data) return fail(fn, A::data);
  PyObject* args[] = {expires_at.get(), data.get()};
  Ref record = Ref::steal(PyObject_Vectorcall(record_type.get(), args, 0, k.kw_record));
  if (!record) return fail(fn, A::record);
  return record;
}

// `self.lock_data[address] = LockObject(...)`
bool store_record(Function* fn, PyObject* self, PyObject* address, PyObject* timeout_ms,
                  PyObject* metadata) {
  Ref record = make_record(fn, timeout_ms, metadata);
  if (!record) return false;
  Ref lock_data = Ref::steal(PyObject_GetAttr(self, k.lock_data));
  if (!lock_data || PyObject_SetItem(lock_data.get(), address, record.get()) < 0) {
    return fail(fn, A::record);
  }
  return true;
}

// `self.locks[address] = Lock()` and the record. In a plain dict the store is a setdefault:
// threads racing on a new address all end up on the one lock stored, and only the thread whose
// lock was stored writes the record.
bool add_entry(Function* fn, PyObject* self, PyObject* address, PyObject* timeout_ms,
               PyObject* metadata) {
  Ref factory = frame::lookup_global(fn, k.Lock);
  Ref made = factory ? Ref::steal(PyObject_CallNoArgs(factory.get())) : Ref();
  Ref locks = made ? Ref::steal(PyObject_GetAttr(self, k.locks)) : Ref();
  if (!locks) return fail(fn, A::new_lock);
  if (PyDict_CheckExact(locks.get())) {
    PyObject* stored = PyDict_SetDefault(locks.get(), address, made.get());
    if (stored == nullptr) return fail(fn, A::new_lock);
    if (stored != made.get()) return true;
  } else if (PyObject_SetItem(locks.get(), address, made.get()) < 0) {
    return fail(fn, A::new_lock);
  }
  return store_record(fn, self, address, timeout_ms, metadata);
}

// The interpreter's own lock type; classes made in Python are never immutable types.
bool is_thread_lock(PyObject* lock) {
  PyTypeObject* type = Py_TYPE(lock);
  if (reinterpret_cast<PyObject*>(type) == state.thread_lock_type) return true;
  if (state.thread_lock_type == nullptr && (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) &&
      std::strcmp(type->tp_name, "_thread.lock") == 0) {
    state.thread_lock_type = Py_NewRef(reinterpret_cast<PyObject*>(type));
    return true;
  }
  return false;
}

// lock.acquire(timeout=...) or lock.acquire(blocking=False). On the interpreter's own lock the
// same call is made positionally, which means the same and builds no keyword dict.
PyObject* call_acquire(PyObject* lock, PyObject* value, PyObject* kwnames, bool wait) {
  PyObject* args[] = {nullptr, lock, value, value};
  constexpr size_t offset = PY_VECTORCALL_ARGUMENTS_OFFSET;
  if (!is_thread_lock(lock)) {
    return PyObject_VectorcallMethod(k.acquire, args + 1, 1 | offset, kwnames);
  }
  if (!wait) return PyObject_VectorcallMethod(k.acquire, args + 1, 2 | offset, nullptr);
  if (value == k.no_timeout) {
    return PyObject_VectorcallMethod(k.acquire, args + 1, 1 | offset, nullptr);
  }
  args[2] = Py_True;
  return PyObject_VectorcallMethod(k.acquire, args + 1, 3 | offset, nullptr);
}

}  // namespace

PyObject* do_nothing(Function*, PyObject* const*) { Py_RETURN_NONE; }
PyObject* always_true(Function*, PyObject* const*) { Py_RETURN_TRUE; }

PyObject* init(Function* fn, PyObject* const* p) {
  using L = line::Init;
  Ref locks = Ref::steal(PyDict_New());
  if (!locks || PyObject_SetAttr(p[0], k.locks, locks.get()) < 0) return fail(fn, L::locks);
  Ref lock_data = Ref::steal(PyDict_New());
  if (!lock_data || PyObject_SetAttr(p[0], k.lock_data, lock_data.get()) < 0) {
    return fail(fn, L::lock_data);
  }
  Py_RETURN_NONE;
}

PyObject* acquire(Function* fn, PyObject* const* p) {
  PyObject *self = p[0], *address = p[1], *timeout_ms = p[2], *blocking = p[3];
  int present = known(fn, self, address, A::test);
  if (present < 0) return nullptr;
  if (!present && !add_entry(fn, self, address, timeout_ms, p[4])) return nullptr;
  Ref lock = fetch(fn, self, address, A::fetch);
  if (!lock) return nullptr;

  int wait = PyObject_IsTrue(blocking);
  if (wait < 0) return fail(fn, A::blocking);
  if (!wait) {
    PyObject* r = call_acquire(lock.get(), Py_False, k.kw_blocking, false);
    return r ? r : fail(fn, A::try_once);
  }
  int limited = non_negative(timeout_ms);
  Ref timeout = limited > 0    ? Ref::steal(PyNumber_TrueDivide(timeout_ms, k.thousand))
                : limited == 0 ? Ref::borrow(k.no_timeout)
                               : Ref();
  if (!timeout) return fail(fn, A::wait);
  PyObject* r = call_acquire(lock.get(), timeout.get(), k.kw_timeout, true);
  return r ? r : fail(fn, A::wait);
}

PyObject* release(Function* fn, PyObject* const* p) {
  PyObject *self = p[0], *address = p[1];
  int present = known(fn, self, address, R::test);
  if (present < 0) return nullptr;
  if (!present) Py_RETURN_NONE;
  Ref lock = fetch(fn, self, address, R::fetch);
  if (!lock) return nullptr;
  Ref result = Ref::steal(PyObject_CallMethodNoArgs(lock.get(), k.release));
  if (!result) return fail(fn, R::release);
  Py_RETURN_NONE;
}

}  // namespace sellavar
