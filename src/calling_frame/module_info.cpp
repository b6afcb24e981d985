#include "module_info.hpp"

namespace frame {

bool init_module_info(ModuleInfo& info) noexcept {
  if (info.init_trace != nullptr) return true;
  if (!info.full_name_str && !(info.full_name_str = PyUnicode_InternFromString(info.full_name))) {
    return false;
  }
  if (!info.source_path_str && !(info.source_path_str = PyUnicode_FromString(info.source_path))) {
    return false;
  }
  if (!info.defaults_trace &&
      !(info.defaults_trace = PyUnicode_FromFormat("%s.__defaults__", info.full_name))) {
    return false;
  }
  info.init_trace = PyUnicode_FromFormat("init %s", info.full_name);
  return info.init_trace != nullptr;
}

PyObject* lookup_global(const ModuleInfo& info, PyObject* name) noexcept {
  PyObject* value = PyDict_GetItemWithError(info.globals, name);
  if (value == nullptr && !PyErr_Occurred() && info.builtins != nullptr) {
    value = PyDict_GetItemWithError(info.builtins, name);
  }
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
  }
  return Py_NewRef(value);
}

}  // namespace frame
