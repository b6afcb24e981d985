// What the files of the in-process lock module share.
#pragma once
#include <Python.h>

#include "function.hpp"
#include "module_state.hpp"

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
  // builtins looked up at start-up
  PyObject *property_type, *round_fn;
};

// Everything the module keeps beyond a call (see module_state.hpp for what lives how long).
struct State {
  frame::ModuleState frame;
  Constants k;
  PyObject* thread_lock_type;  // the interpreter's own lock type, once a lock has shown it
};
extern State state;
inline Constants& k = state.k;
extern const frame::FunctionRow* const class_rows[];  // class body order, also code order
extern const int n_class_rows;

bool make_constants() noexcept;

// The source lines that traceback entries name, beside each member's body.
namespace line {
inline constexpr int class_statement = 11;
struct Connect { static constexpr int def = 16; };
struct Disconnect { static constexpr int def = 18; };
struct IsConnected { static constexpr int def = 20; };
struct IsAlive { static constexpr int def = 24; };
struct Init { static constexpr int def = 28, locks = 29, lock_data = 30; };
struct Acquire {
  static constexpr int def = 32, test = 53, new_lock = 54, record = 55, expiry = 56, data = 57,
                       fetch = 60, blocking = 62, wait = 63, try_once = 65;
};
struct Release { static constexpr int def = 67, test = 81, fetch = 82, release = 83; };
}  // namespace line

PyObject* do_nothing(frame::Function* fn, PyObject* const* p);
PyObject* always_true(frame::Function* fn, PyObject* const* p);
PyObject* init(frame::Function* fn, PyObject* const* p);
PyObject* acquire(frame::Function* fn, PyObject* const* p);
PyObject* release(frame::Function* fn, PyObject* const* p);

}  // namespace sellavar
