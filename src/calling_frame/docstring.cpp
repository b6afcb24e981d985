#include "docstring.hpp"

#include <cstring>
#include <string>

namespace frame {
namespace {

bool opens_block(const char* line) {
  static const char* const heads[] = {"Args:", "Returns:", "Raises:", "Attributes:"};
  for (const char* head : heads) {
    if (std::strcmp(line, head) == 0) return true;
  }
  return false;
}

}  // namespace

PyObject* format_docstring(const char* const* lines, int indent) noexcept {
  std::string text = "\n";
  bool in_block = false;
  for (const char* const* line = lines; *line != nullptr; ++line) {
    if (**line == '\0') {
      in_block = false;
    } else {
      text.append(static_cast<size_t>(indent + (in_block ? 4 : 0)), ' ');
      text += *line;
      if (opens_block(*line)) in_block = true;
    }
    text += '\n';
  }
  text.append(static_cast<size_t>(indent), ' ');
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace frame
