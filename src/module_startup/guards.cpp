// The guards of create and exec, and the failure path of exec.
#include <cstdio>

#include "startup.hpp"
#include "traceback.hpp"

namespace startup {
namespace {

// Copies one spec attribute into the module dict; a missing attribute is skipped.
bool copy_spec_attr(PyObject* spec, const char* attr, PyObject* dict, const char* key,
                    bool skip_none) {
  PyObject* value = PyObject_GetAttrString(spec, attr);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  Ref held = Ref::steal(value);
  if (skip_none && value == Py_None) return true;
  return PyDict_SetItemString(dict, key, value) == 0;
}

// An interpreter initialised again after Py_FinalizeEx keeps the ID of the one before it,
// but none of its objects: that counts as another interpreter.
Failed interpreter_changed() {
  PyErr_SetString(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
  return frame::failed;
}

}  // namespace

PyObject* create_module(frame::ModuleState& state, PyObject* spec,
                        void (*at_finalize)()) noexcept {
  long long id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (state.interpreter_id == -1) {
    if (id == -1) return nullptr;
    // The shared library stays loaded after Py_FinalizeEx, and so does this state.
    if (Py_AtExit(at_finalize) < 0) {
      PyErr_SetString(PyExc_ImportError, "no room left for another interpreter exit function");
      return nullptr;
    }
    state.interpreter_id = id;
  } else if (state.interpreter_id != id || state.interpreter_finalized) {
    return interpreter_changed();
  }
  if (state.module != nullptr) {
    if (!state.executing) return Py_NewRef(state.module);
    // A second name would get a module whose class does not exist yet, reported done.
    PyErr_Format(PyExc_ImportError,
                 "Module '%s' is being initialised by another import; it cannot be imported "
                 "under a second name until that import has finished.",
                 state.short_name);
    return nullptr;
  }

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (!copy_spec_attr(spec, "loader", dict, "__loader__", false) ||
      !copy_spec_attr(spec, "origin", dict, "__file__", false) ||
      !copy_spec_attr(spec, "parent", dict, "__package__", false) ||
      !copy_spec_attr(spec, "submodule_search_locations", dict, "__path__", true)) {
    return nullptr;
  }
  return module.release();
}

int begin_exec(frame::ModuleState& state, PyObject* module) noexcept {
  if (state.module != nullptr) {
    if (state.module == module) return 1;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 state.short_name);
    return -1;
  }
  state.module = Py_NewRef(module);
  state.executing = true;
  Ref builtins = Ref::borrow(PyImport_AddModule("builtins"));
  if (!builtins || PyModule_AddObjectRef(module, "__builtins__", builtins.get()) < 0) {
    return fail_exec(state, nullptr, 0);
  }
  Py_XSETREF(state.builtins, Py_NewRef(PyModule_GetDict(builtins.get())));

  // The minor version is the ABI: a module built for one may not run on another.
  const int major = static_cast<int>((Py_Version >> 24) & 0xff);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, state.full_name, "does not match", major,
                  minor);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0) return fail_exec(state, nullptr, 0);
  }
  if (!state.make_names()) return fail_exec(state, nullptr, 0);
  return 0;
}

bool register_full_name(const frame::ModuleState& state, PyObject* module) noexcept {
  PyObject* modules = PyImport_GetModuleDict();
  int present = PyDict_Contains(modules, state.full_name_str);
  if (present < 0) return false;
  return present == 1 || PyDict_SetItem(modules, state.full_name_str, module) == 0;
}

int fail_exec(frame::ModuleState& state, PyObject* globals, int line) noexcept {
  if (line > 0 && state.init_trace != nullptr) {
    frame::add_traceback(state, globals, state.init_trace, line);
  }
  // A later import must not find the half-built module under any name: what exec or a host
  // put there goes, and the import system tolerates finding its own entry gone.
  PyObject* raised = PyErr_GetRaisedException();
  PyObject* modules = PyImport_GetModuleDict();
  Ref names = Ref::steal(PyList_New(0));
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (names && PyDict_Next(modules, &pos, &key, &value)) {
    if (value == state.module && PyList_Append(names.get(), key) < 0) names = Ref();
  }
  for (Py_ssize_t i = 0; names && i < PyList_GET_SIZE(names.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(names.get(), i);
    if (PyDict_GetItemWithError(modules, name) == state.module) PyDict_DelItem(modules, name);
  }
  PyErr_Clear();  // the failure being reported matters more than this one
  PyErr_SetRaisedException(raised);
  state.executing = false;
  Py_CLEAR(state.module);
  return -1;
}

}  // namespace startup
