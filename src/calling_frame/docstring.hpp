#pragma once
#include <Python.h>

namespace frame {

// Lays out docstring lines: a leading line break, `indent` spaces before each line (four more
// under "Args:", "Returns:", "Raises:" and "Attributes:" until a blank line), blank lines
// empty, and a closing line break with `indent` spaces.
PyObject* format_docstring(const char* const* lines, int indent) noexcept;

}  // namespace frame
