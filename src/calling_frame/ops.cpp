#include "ops.hpp"

#include "ref.hpp"

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
    return Ref();
  }
  Ref made = Ref::steal(PyObject_CallNoArgs(value));
  if (made && !PyExceptionInstance_Check(made.get())) {
    PyErr_Format(PyExc_TypeError,
                 "calling %R should have returned an instance of BaseException, not %R", value,
                 reinterpret_cast<PyObject*>(Py_TYPE(made.get())));
    return Ref();
  }
  return made;
}

}  // namespace

PyObject* getattr_or_none(PyObject* obj, PyObject* name) noexcept {
  PyObject* value = PyObject_GetAttr(obj, name);
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    value = Py_NewRef(Py_None);
  }
  return value;
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
  PyObject* handled = PyErr_GetHandledException();
  if (handled != nullptr && handled != exc.get()) {
    PyException_SetContext(exc.get(), handled);  // steals
  } else {
    Py_XDECREF(handled);
  }
  PyErr_SetRaisedException(exc.release());
}

}  // namespace frame
