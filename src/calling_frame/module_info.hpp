// What the frame needs to know of the module that owns a function.
#pragma once
#include <Python.h>

namespace frame {

struct ModuleInfo {
  const char* short_name;   // "quorvane"
  const char* full_name;    // "tarvex_data.lock.implementations.quorvane"
  const char* source_path;  // file name carried by code objects and traceback entries
  // Made once per process by init_module_info:
  PyObject* full_name_str = nullptr;   // interned full_name
  PyObject* source_path_str = nullptr;
  const char* defaults_trace = nullptr;  // "<full_name>.__defaults__": the defaults builder's entry
  const char* init_trace = nullptr;      // "init <full_name>": the entry of a failed start-up
  PyObject* builtins = nullptr;          // the builtins module's dict, taken at every exec
};

// Makes the names of `info`; idempotent.
bool init_module_info(ModuleInfo& info) noexcept;

}  // namespace frame
