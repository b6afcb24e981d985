#include "docstring.hpp"

#include <cstring>

namespace frame {
namespace {

bool opens_block(const char* line) {
  static const char* const heads[] = {"Args:", "Returns:", "Raises:", "Attributes:"};
  for (const char* head : heads) {
    if (std::strcmp(line, head) == 0) return true;
  }
  return false;
}

// Writes the laid-out text to `out` when it is not null; returns its length either way.
size_t lay_out(const char* const* lines, int indent, char* out) {
  size_t n = 0;
  auto put = [&](const char* text, size_t len) {
    if (out != nullptr) std::memcpy(out + n, text, len);
    n += len;
  };
  auto spaces = [&](int count) {
    if (out != nullptr) std::memset(out + n, ' ', static_cast<size_t>(count));
    n += static_cast<size_t>(count);
  };
  put("\n", 1);
  bool in_block = false;
  for (const char* const* line = lines; *line != nullptr; ++line) {
    if (**line == '\0') {
      in_block = false;
    } else {
      spaces(indent + (in_block ? 4 : 0));
      put(*line, std::strlen(*line));
      if (opens_block(*line)) in_block = true;
    }
    put("\n", 1);
  }
  spaces(indent);
  return n;
}

}  // namespace

PyObject* format_docstring(const char* const* lines, int indent) noexcept {
  const size_t size = lay_out(lines, indent, nullptr);
  char* text = static_cast<char*>(PyMem_Malloc(size));
  if (text == nullptr) return PyErr_NoMemory();
  lay_out(lines, indent, text);
  PyObject* doc = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), nullptr);
  PyMem_Free(text);
  return doc;
}

}  // namespace frame
