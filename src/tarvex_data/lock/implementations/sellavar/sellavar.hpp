// What the files of the in-process lock module share.
#pragma once
#include <Python.h>

#include "function.hpp"
#include "module_info.hpp"

namespace sellavar {

struct Constants {
  // identifiers
  PyObject *threading, *Lock, *time, *typing, *Any, *address_module, *Address, *record_module,
      *LockObject, *base_module, *LockBase, *Sellavar, *test, *locks, *lock_data, *acquire,
      *release, *property, *round;
  PyObject* class_doc;
  // keyword names of the calls that the bodies make
  PyObject *kw_timeout, *kw_blocking, *kw_record;
  // numbers
  PyObject *zero, *thousand, *no_timeout;
  // builtins looked up once
  PyObject *property_type, *round_fn;
};

extern Constants k;
extern frame::ModuleInfo info;
extern const frame::FunctionRow* const class_rows[];  // class body order, also code order
extern const int n_class_rows;

bool make_constants() noexcept;

PyObject* do_nothing(frame::Function* fn, PyObject* const* p);
PyObject* always_true(frame::Function* fn, PyObject* const* p);
PyObject* init(frame::Function* fn, PyObject* const* p);
PyObject* acquire(frame::Function* fn, PyObject* const* p);
PyObject* release(frame::Function* fn, PyObject* const* p);

}  // namespace sellavar
