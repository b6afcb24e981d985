// Everything of a lock module that outlives a call, in one place: one per module and process.
//
// The rule for what it holds: exec makes what is still null and keeps what is made, so an exec
// retried after a failed one makes only what the failure left unmade, and nothing twice; the
// module object is held only while its exec runs or after it succeeded, and the builtins are
// taken anew by every exec. Private types are static, counted from 1 when the process starts
// (as a static type's head says), and readied until one readying succeeds. When the interpreter
// that owns these objects is finalized, `forget` drops them all without releasing them (they
// went with it); the interpreter's ID and the mark that it is gone survive, so that no later
// interpreter gets the module.
#pragma once
#include <Python.h>

#include "ref.hpp"

// The static types' counts are set through the default build's object header, and nothing here
// was written for threads that run without the interpreter lock.
#ifdef Py_GIL_DISABLED
#error "free-threaded CPython is not supported: build for a default (GIL) interpreter"
#endif

namespace frame {

struct FunctionRow;

// Parameters a member row may have, and rows a module may have.
inline constexpr int kMaxParams = 16;
inline constexpr int kMaxRows = 8;
inline constexpr int kCachedCodes = 128;

// What start-up makes of one member row.
struct RowObjects {
  const FunctionRow* row;
  PyObject* name;        // interned
  PyObject* qualname;
  PyObject* trace_name;  // "<module>.<qualname>", the name of its traceback entries
  PyObject* code;
  PyObject* param_names[kMaxParams];  // interned
};

// A static type before it is readied: counted from 1, as PyVarObject_HEAD_INIT makes it.
constexpr PyTypeObject unready_static_type() {
  PyTypeObject type{};
  type.ob_base.ob_base.ob_refcnt = 1;
  return type;
}

// The code object of a traceback entry, per entry name and line.
struct EntryCode {
  PyObject* name;
  int line;
  PyObject* code;
};

struct ModuleState {
  // What the module is.
  const char* short_name;   // "quorvane"
  const char* full_name;    // "tarvex_data.lock.implementations.quorvane"
  const char* source_path;  // the file name of code objects and traceback entries

  // Guards of create and exec.
  long long interpreter_id = -1;
  bool interpreter_finalized = false;
  PyObject* module = nullptr;  // from the start of exec on, unless exec failed
  bool executing = false;      // exec has begun and not yet ended

  // Names and builtins.
  PyObject* full_name_str = nullptr;   // interned
  PyObject* source_path_str = nullptr;
  PyObject* defaults_trace = nullptr;  // "<module>.__defaults__"
  PyObject* init_trace = nullptr;      // "init <module>"
  PyObject* builtins = nullptr;        // the builtins module's dict

  // The function types, the members' objects, and the code objects of traceback entries.
  PyTypeObject method_type = unready_static_type();
  PyTypeObject static_type = unready_static_type();
  RowObjects rows[kMaxRows] = {};
  int n_rows = 0;
  EntryCode entry_codes[kCachedCodes] = {};
  int n_entry_codes = 0;

  // Makes the names of the module; what is made already stays.
  [[nodiscard]] bool make_names() noexcept;
  // The objects of `row`, which prepare_rows made.
  RowObjects& objects_of(const FunctionRow& row) noexcept;
  // The interpreter is gone: every object is dropped unreleased, and no interpreter may follow.
  void forget() noexcept;
};

}  // namespace frame
