// Traceback entries for failures inside the module's functions and start-up.
#pragma once
#include <Python.h>

#include "module_state.hpp"

namespace frame {

// Adds to the raised exception an entry named `func_name` (a str the state keeps) at `line`,
// made over a code object of the module's source path with `globals` as the frame's globals.
void add_traceback(ModuleState& state, PyObject* globals, PyObject* func_name, int line) noexcept;

}  // namespace frame
