// What the frame needs to know of the module that owns a function.
#pragma once
#include <Python.h>

namespace frame {

struct ModuleInfo {
  const char* short_name;   // "quorvane"
  const char* full_name;    // "tarvex_data.lock.implementations.quorvane"
  const char* source_path;  // file name carried by code objects and traceback entries
  PyObject* full_name_str = nullptr;   // interned full_name, set by init_module_info
  PyObject* source_path_str = nullptr;
  PyObject* defaults_trace = nullptr;  // "<full_name>.__defaults__", entry of the defaults builder
  PyObject* init_trace = nullptr;      // "init <full_name>", entry of a failed start-up
  PyObject* globals = nullptr;         // borrowed: the module's dict, alive while the module is
  PyObject* builtins = nullptr;        // borrowed: the builtins module's dict
};

// Makes the two strings of `info`; idempotent.
bool init_module_info(ModuleInfo& info) noexcept;

// Looks `name` up in the module namespace, then in the builtins, as a global read does.
PyObject* lookup_global(const ModuleInfo& info, PyObject* name) noexcept;  // new reference

}  // namespace frame
