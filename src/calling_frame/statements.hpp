// Statement-level helpers that member bodies share.
#pragma once
#include <Python.h>

#include "function.hpp"
#include "ref.hpp"

namespace frame {

// A name read as the interpreter reads a global: in `first`, then in `then` (a dict, or null),
// else NameError.
Ref lookup_name(PyObject* first, PyObject* then, PyObject* name) noexcept;

// A global read of a function: its module namespace, then the builtins.
inline Ref lookup_global(Function* fn, PyObject* name) noexcept {
  return lookup_name(fn->globals, fn->state->builtins, name);
}

// getattr(obj, name, None): an AttributeError gives None, other errors propagate.
Ref getattr_or_none(PyObject* obj, PyObject* name) noexcept;

// `raise value` or `raise value from cause` (cause may be null: no `from`). Always sets an
// error. A class is instantiated with no arguments, as the interpreter does.
void raise_value(PyObject* value, PyObject* cause) noexcept;

// An except clause of a body, opened with the caught exception on the error indicator. The
// thread's handled-exception state is never written (inside a generator that would write the
// generator's own); instead an error that leaves the clause gets the context that the
// interpreter gives an error raised while the caught one is handled.
class ExceptClause {
 public:
  ExceptClause() noexcept;
  ExceptClause(const ExceptClause&) = delete;
  ExceptClause& operator=(const ExceptClause&) = delete;

  PyObject* caught() const noexcept { return caught_.get(); }
  // No handler matched: the caught exception goes on unchanged.
  Failed reraise() noexcept;
  // An error raised inside the clause is set: chain it to the caught exception.
  void leave_with_error() noexcept;

 private:
  Ref caught_;
  Ref outer_;  // what was being handled when the clause began, or null
};

}  // namespace frame
