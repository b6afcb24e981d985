#include "statements.hpp"

namespace frame {
namespace {

bool is_exception_class(PyObject* o) {
  return PyType_Check(o) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(o),
                                             reinterpret_cast<PyTypeObject*>(PyExc_BaseException));
}

// An exception instance from `value`, or null with the raise error set.
Ref instantiate(PyObject* value) {
  if (PyExceptionInstance_Check(value)) return Ref::borrow(value);
  if (!is_exception_class(value)) {
    PyErr_SetString(PyExc_TypeError,
                    "raise: exception class must be a subclass of BaseException");
    return failed;
  }
  Ref made = Ref::steal(PyObject_CallNoArgs(value));
  if (made && !PyExceptionInstance_Check(made.get())) {
    PyErr_Format(PyExc_TypeError,
                 "calling %R should have returned an instance of BaseException, not %R", value,
                 reinterpret_cast<PyObject*>(Py_TYPE(made.get())));
    return failed;
  }
  return made;
}

// The borrowed context of an exception; the chain holds it while nothing runs.
PyObject* context_of(PyObject* exc) {
  PyObject* context = PyException_GetContext(exc);
  Py_XDECREF(context);
  return context;
}

// Walks the `__context__` chain from `link`, calling `visit(link, its context)` until it returns
// true or the chain ends; a cycle already in the chain ends the walk too.
template <class Visit>
void walk_contexts(PyObject* link, Visit visit) {
  PyObject* slow = link;
  bool step_slow = false;
  while (link != nullptr) {
    PyObject* context = context_of(link);
    if (visit(link, context)) return;
    link = context;
    if (link == slow) return;
    if (step_slow) slow = context_of(slow);
    step_slow = !step_slow;
  }
}

// Sets `handled` as the context of `raised`, as the interpreter does when it raises `raised`
// while `handled` is being handled: first it cuts `raised` out of `handled`'s own chain, so no
// cycle is made.
void set_context_as_raised(PyObject* raised, PyObject* handled) {
  if (handled == nullptr || handled == raised) return;
  walk_contexts(handled, [raised](PyObject* link, PyObject* context) {
    if (context != raised) return false;
    PyException_SetContext(link, nullptr);
    return true;
  });
  PyException_SetContext(raised, Py_NewRef(handled));
}

}  // namespace

Ref lookup_name(PyObject* first, PyObject* then, PyObject* name) noexcept {
  PyObject* value = PyDict_GetItemWithError(first, name);
  if (value == nullptr && !PyErr_Occurred() && then != nullptr) {
    value = PyDict_GetItemWithError(then, name);
  }
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return failed;
  }
  return Ref::borrow(value);
}

Ref getattr_or_none(PyObject* obj, PyObject* name) noexcept {
  PyObject* value = PyObject_GetAttr(obj, name);
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    value = Py_NewRef(Py_None);
  }
  return Ref::steal(value);
}

void raise_value(PyObject* value, PyObject* cause) noexcept {
  Ref exc = instantiate(value);
  if (!exc) return;
  if (cause != nullptr) {
    Ref cause_exc;
    if (cause != Py_None) {
      if (!PyExceptionInstance_Check(cause) && !is_exception_class(cause)) {
        PyErr_SetString(PyExc_TypeError, "exception causes must derive from BaseException");
        return;
      }
      if (!(cause_exc = instantiate(cause))) return;
    }
    PyException_SetCause(exc.get(), cause_exc.release());  // steals; null stores no cause
  }
  Ref handled = Ref::steal(PyErr_GetHandledException());
  set_context_as_raised(exc.get(), handled.get());
  PyErr_SetRaisedException(exc.release());
}

ExceptClause::ExceptClause() noexcept
    : caught_(Ref::steal(PyErr_GetRaisedException())),
      outer_(Ref::steal(PyErr_GetHandledException())) {}

Failed ExceptClause::reraise() noexcept {
  PyErr_SetRaisedException(caught_.release());
  return failed;
}

// Whatever was raised inside the clause took the outer handled exception (or none) as its
// context, the caught one not being on the thread. The link of the chain that did so is the
// one the interpreter would have given the caught exception instead.
void ExceptClause::leave_with_error() noexcept {
  PyObject* raised = PyErr_GetRaisedException();
  PyObject* caught = caught_.get();
  PyObject* outer = outer_.get();
  walk_contexts(raised, [caught, outer](PyObject* link, PyObject* context) {
    if (link == caught) return true;
    if (context != outer) return false;
    set_context_as_raised(link, caught);
    return true;
  });
  PyErr_SetRaisedException(raised);
}

}  // namespace frame
