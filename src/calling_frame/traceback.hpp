// Traceback entries for failures inside the module's functions and start-up.
#pragma once
#include <Python.h>

#include "module_info.hpp"

namespace frame {

// Adds to the raised exception an entry named `func_name` at `line`, made over a code object of
// the module's source path with `globals` as the frame's globals. `func_name` lives for good.
void add_traceback(const ModuleInfo& info, PyObject* globals, const char* func_name,
                   int line) noexcept;

}  // namespace frame
