// What the files of the Redis-backed lock module share.
#pragma once
#include <Python.h>

#include "function.hpp"
#include "module_info.hpp"

namespace quorvane {

struct Constants {
  // identifiers
  PyObject *json, *time, *sleep, *typing, *Any, *redis, *address_module, *Address,
      *errors_module, *TarvexConnectionError, *base_module, *LockBase, *Quorvane, *test,
      *client, *get_redis_client, *set, *del, *to_string, *dumps, *ping, *close, *Redis,
      *exceptions, *ConnectionError, *property, *staticmethod, *ImportError;
  // texts
  PyObject *not_connected, *requires_redis, *class_doc, *empty, *redis_annotation;
  // keyword names of the calls that the bodies make
  PyObject *kw_nx, *kw_client_options, *kw_redis_options;
  // numbers
  PyObject *pause, *per_second, *zero, *default_port, *no_timeout;
  // builtins looked up once
  PyObject *property_type, *staticmethod_type, *import_error;
};

extern Constants k;
extern frame::ModuleInfo info;
extern const frame::FunctionRow set_command_row;
extern const frame::FunctionRow* const code_rows[];  // code objects are made in this order
extern const int n_code_rows;
extern const frame::FunctionRow* const class_rows[];  // class body order
extern const int n_class_rows;

bool make_constants() noexcept;
bool ready_scope_type() noexcept;

PyObject* is_connected(frame::Function* fn, PyObject* const* p);
PyObject* is_alive(frame::Function* fn, PyObject* const* p);
PyObject* connect(frame::Function* fn, PyObject* const* p);
PyObject* disconnect(frame::Function* fn, PyObject* const* p);
PyObject* get_redis_client(frame::Function* fn, PyObject* const* p);
PyObject* acquire(frame::Function* fn, PyObject* const* p);
PyObject* release(frame::Function* fn, PyObject* const* p);
PyObject* set_command(frame::Function* fn, PyObject* const* p);

}  // namespace quorvane
