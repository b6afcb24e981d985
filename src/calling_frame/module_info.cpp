#include "module_info.hpp"

namespace frame {
namespace {

// A UTF-8 view of a new string that the process keeps for good.
const char* kept_text(const char* format, const char* full_name) {
  PyObject* text = PyUnicode_FromFormat(format, full_name);
  return text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
}

}  // namespace

bool init_module_info(ModuleInfo& info) noexcept {
  if (!info.full_name_str && !(info.full_name_str = PyUnicode_InternFromString(info.full_name))) {
    return false;
  }
  if (!info.source_path_str && !(info.source_path_str = PyUnicode_FromString(info.source_path))) {
    return false;
  }
  if (!info.defaults_trace && !(info.defaults_trace = kept_text("%s.__defaults__", info.full_name))) {
    return false;
  }
  return info.init_trace || (info.init_trace = kept_text("init %s", info.full_name));
}

}  // namespace frame
