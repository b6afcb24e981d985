// The lock protocol of Quorvane: one set-if-absent key per held lock.
#include "quorvane.hpp"
#include "ref.hpp"
#include "startup.hpp"
#include "statements.hpp"

namespace quorvane {

using frame::fail;
using frame::Failed;
using frame::Function;
using frame::Ref;

namespace {

// The variables that `acquire` shares with its inner `_set_command`.
struct Scope {
  PyObject_HEAD
  PyObject* self;
  PyObject* target_address;
  PyObject* metadata;
};

int scope_traverse(PyObject* o, visitproc visit, void* arg) {
  Scope* s = reinterpret_cast<Scope*>(o);
  Py_VISIT(s->self);
  Py_VISIT(s->target_address);
  Py_VISIT(s->metadata);
  return 0;
}

int scope_clear(PyObject* o) {
  Scope* s = reinterpret_cast<Scope*>(o);
  Py_CLEAR(s->self);
  Py_CLEAR(s->target_address);
  Py_CLEAR(s->metadata);
  return 0;
}

void scope_dealloc(PyObject* o) {
  PyObject_GC_UnTrack(o);
  scope_clear(o);
  Py_TYPE(o)->tp_free(o);
}

PyObject* scope_new(PyObject* self, PyObject* target_address, PyObject* metadata) {
  Scope* s = PyObject_GC_New(Scope, &state.scope_type);
  if (s == nullptr) return nullptr;
  s->self = Py_NewRef(self);
  s->target_address = Py_NewRef(target_address);
  s->metadata = Py_NewRef(metadata);
  PyObject_GC_Track(s);
  return reinterpret_cast<PyObject*>(s);
}

// A shared variable, which a collected scope no longer holds.
Ref shared(PyObject* value, const char* name) {
  if (value == nullptr) {
    PyErr_Format(PyExc_NameError,
                 "free variable '%s' referenced before assignment in enclosing scope", name);
  }
  return Ref::borrow(value);
}

// `if not getattr(self, "client", None): raise TarvexConnectionError(msg)`
template <class L>
bool connected_or_raise(Function* fn, PyObject* self) {
  Ref client = frame::getattr_or_none(self, k.client);
  int truth = client ? PyObject_IsTrue(client.get()) : -1;
  if (truth > 0) return true;
  if (truth < 0) return fail(fn, L::guard);
  Ref error_type = frame::lookup_global(fn, k.TarvexConnectionError);
  Ref error = error_type ? Ref::steal(PyObject_CallOneArg(error_type.get(), k.not_connected))
                         : Ref();
  if (error) frame::raise_value(error.get(), nullptr);
  return fail(fn, L::not_connected);
}

PyObject* attempt(PyObject* set_command_fn) {
  return PyObject_Vectorcall(set_command_fn, nullptr, 0, nullptr);
}

}  // namespace

bool make_scope_type() noexcept {
  PyTypeObject& t = state.scope_type;
  t.tp_name = "quorvane_acquire_scope";
  t.tp_basicsize = sizeof(Scope);
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_dealloc = scope_dealloc;
  t.tp_traverse = scope_traverse;
  t.tp_clear = scope_clear;
  return startup::ready_type_without_gc(&t);
}

PyObject* set_command(Function* fn, PyObject* const*) {
  using L = line::SetCommand;
  Scope* s = reinterpret_cast<Scope*>(fn->closure);
  Ref self = shared(s->self, "self");
  if (!self) return fail(fn, L::set);
  Ref client = Ref::steal(PyObject_GetAttr(self.get(), k.client));
  Ref set = client ? Ref::steal(PyObject_GetAttr(client.get(), k.set)) : Ref();
  if (!set) return fail(fn, L::set);

  Ref target = shared(s->target_address, "target_address");
  Ref key = target ? Ref::steal(PyObject_CallMethodNoArgs(target.get(), k.to_string)) : Ref();
  if (!key) return fail(fn, L::key);

  Ref metadata = shared(s->metadata, "metadata");
  if (!metadata) return fail(fn, L::value);
  Ref value;
  if (metadata.get() == Py_None) {
    value = Ref::borrow(k.empty);
  } else {
    Ref json = frame::lookup_global(fn, k.json);
    Ref dumps = json ? Ref::steal(PyObject_GetAttr(json.get(), k.dumps)) : Ref();
    value = dumps ? Ref::steal(PyObject_CallOneArg(dumps.get(), metadata.get())) : Ref();
    if (!value) return fail(fn, L::value);
  }

  PyObject* args[] = {key.get(), value.get(), Py_True};
  Ref res = Ref::steal(PyObject_Vectorcall(set.get(), args, 2, k.kw_nx));
  if (!res) return fail(fn, L::set);
  int truth = PyObject_IsTrue(res.get());
  if (truth < 0) return fail(fn, L::reply);
  return PyBool_FromLong(truth);
}

PyObject* acquire(Function* fn, PyObject* const* p) {
  using L = line::Acquire;
  PyObject *self = p[0], *timeout_ms = p[2], *blocking = p[3];
  Ref scope = Ref::steal(scope_new(self, p[1], p[4]));
  if (!scope) return fail(fn, L::scope);
  if (!connected_or_raise<L>(fn, self)) return nullptr;
  Ref try_once = Ref::steal(frame::function_new(set_command_row, *fn->state, fn->globals,
                                                scope.get()));
  if (!try_once) return fail(fn, L::make_attempt);

  int wait = PyObject_IsTrue(blocking);
  if (wait < 0) return fail(fn, L::blocking);
  if (!wait) {
    PyObject* result = attempt(try_once.get());
    return result ? result : fail(fn, L::single_attempt);
  }

  double timing = 0.0;
  Ref timeout_seconds = Ref::steal(PyNumber_TrueDivide(timeout_ms, k.per_second));
  if (!timeout_seconds) return fail(fn, L::division);
  for (;;) {
    Ref result = Ref::steal(attempt(try_once.get()));
    int taken = result ? PyObject_IsTrue(result.get()) : -1;
    if (taken < 0) return fail(fn, L::attempt);
    if (taken) return result.release();

    // 0 <= _timeout_seconds <= _timing: the budget counts pauses, not clock time
    int limited = PyObject_RichCompareBool(k.zero, timeout_seconds.get(), Py_LE);
    if (limited > 0) {
      Ref counted = Ref::steal(PyFloat_FromDouble(timing));
      limited = counted ? PyObject_RichCompareBool(timeout_seconds.get(), counted.get(), Py_LE)
                        : -1;
    }
    if (limited < 0) return fail(fn, L::budget);
    if (limited) return result.release();

    Ref sleep = frame::lookup_global(fn, k.sleep);
    Ref slept = sleep ? Ref::steal(PyObject_CallOneArg(sleep.get(), k.pause)) : Ref();
    if (!slept) return fail(fn, L::pause);
    timing += 0.1;
  }
}

PyObject* release(Function* fn, PyObject* const* p) {
  using L = line::Release;
  PyObject* self = p[0];
  if (!connected_or_raise<L>(fn, self)) return nullptr;
  Ref client = Ref::steal(PyObject_GetAttr(self, k.client));
  Ref del = client ? Ref::steal(PyObject_GetAttr(client.get(), k.del)) : Ref();
  Ref key = del ? Ref::steal(PyObject_CallMethodNoArgs(p[1], k.to_string)) : Ref();
  Ref reply = key ? Ref::steal(PyObject_CallOneArg(del.get(), key.get())) : Ref();
  if (!reply) return fail(fn, L::del);
  Py_RETURN_NONE;
}

}  // namespace quorvane
