// Statement-level helpers that member bodies share.
#pragma once
#include <Python.h>

namespace frame {

// getattr(obj, name, None): an AttributeError gives None, other errors propagate.
PyObject* getattr_or_none(PyObject* obj, PyObject* name) noexcept;  // new reference

// `raise value` or `raise value from cause` (cause may be null: no `from`). Always sets an
// error. A class is instantiated with no arguments, as the interpreter does.
void raise_value(PyObject* value, PyObject* cause) noexcept;

// Makes `exc` the exception being handled while an except clause runs, and puts the
// previous one back when the scope ends.
class HandlingScope {
 public:
  explicit HandlingScope(PyObject* exc) noexcept : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(exc);
  }
  ~HandlingScope() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
  }
  HandlingScope(const HandlingScope&) = delete;
  HandlingScope& operator=(const HandlingScope&) = delete;

 private:
  PyObject* previous_;
};

}  // namespace frame
