// What the files of the Redis-backed lock module share.
#pragma once
#include <Python.h>

#include "function.hpp"
#include "module_state.hpp"

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
  // builtins looked up at start-up
  PyObject *property_type, *staticmethod_type, *import_error;
};

// Everything the module keeps beyond a call (see module_state.hpp for what lives how long).
struct State {
  frame::ModuleState frame;
  Constants k;
  PyTypeObject scope_type;  // what `acquire` shares with `_set_command`
};
extern State state;
inline Constants& k = state.k;

extern const frame::FunctionRow set_command_row;
extern const frame::FunctionRow* const code_rows[];  // code objects are made in this order
extern const int n_code_rows;
extern const frame::FunctionRow* const class_rows[];  // class body order
extern const int n_class_rows;

bool make_constants() noexcept;
bool make_scope_type() noexcept;

// The source lines that traceback entries name, beside each member's body.
namespace line {
inline constexpr int class_statement = 12;
struct IsConnected { static constexpr int def = 22, read_client = 30; };
struct IsAlive { static constexpr int def = 32, read_client = 40, ping = 44, except_clause = 45; };
struct Connect { static constexpr int def = 50, make_client = 78; };
struct Disconnect { static constexpr int def = 89, close = 96; };
struct Acquire {
  static constexpr int def = 98, scope = 98, guard = 118, not_connected = 120,
                       make_attempt = 122, blocking = 131, division = 133, attempt = 135,
                       budget = 136, pause = 140, single_attempt = 144;
};
struct SetCommand {
  static constexpr int def = 122, set = 123, key = 124, value = 125, reply = 129;
};
struct Release {
  static constexpr int def = 146, guard = 156, not_connected = 158, del = 160;
};
struct GetRedisClient {
  static constexpr int def = 162, import = 175, new_error = 178, construct = 180;
};
}  // namespace line

PyObject* is_connected(frame::Function* fn, PyObject* const* p);
PyObject* is_alive(frame::Function* fn, PyObject* const* p);
PyObject* connect(frame::Function* fn, PyObject* const* p);
PyObject* disconnect(frame::Function* fn, PyObject* const* p);
PyObject* get_redis_client(frame::Function* fn, PyObject* const* p);
PyObject* acquire(frame::Function* fn, PyObject* const* p);
PyObject* release(frame::Function* fn, PyObject* const* p);
PyObject* set_command(frame::Function* fn, PyObject* const* p);

}  // namespace quorvane
