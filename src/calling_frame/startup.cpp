#include "startup.hpp"

#include <cstdio>

#include "traceback.hpp"

namespace frame {
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

}  // namespace

PyObject* create_module(ProcessState& state, PyObject* spec) noexcept {
  long long id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (state.interpreter_id == -1) {
    if (id == -1) return nullptr;
    state.interpreter_id = id;
  } else if (state.interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (state.module != nullptr) return Py_NewRef(state.module);

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

int begin_exec(ProcessState& state, ModuleInfo& info, PyObject* module) noexcept {
  if (state.module != nullptr) {
    if (state.module == module) return 1;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 info.short_name);
    return -1;
  }
  state.module = Py_NewRef(module);
  info.globals = PyModule_GetDict(module);
  PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
  if (builtins == nullptr || PyModule_AddObjectRef(module, "__builtins__", builtins) < 0) {
    return fail_exec(state, info, 0);
  }
  info.builtins = PyModule_GetDict(builtins);

  const unsigned long major = (Py_Version >> 24) & 0xff;
  const unsigned long minor = (Py_Version >> 16) & 0xff;
  if (major != 3 || minor != 12) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 12, info.full_name, "does not match", static_cast<int>(major),
                  static_cast<int>(minor));
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0) return fail_exec(state, info, 0);
  }
  if (!init_module_info(info)) return fail_exec(state, info, 0);
  return 0;
}

int fail_exec(ProcessState& state, ModuleInfo& info, int line) noexcept {
  if (line > 0 && info.init_trace != nullptr) {
    add_traceback(info, PyUnicode_AsUTF8(info.init_trace), line);
  }
  Py_CLEAR(state.module);
  return -1;
}

bool register_full_name(ModuleInfo& info, PyObject* module) noexcept {
  PyObject* modules = PyImport_GetModuleDict();
  int present = PyDict_Contains(modules, info.full_name_str);
  if (present < 0) return false;
  return present == 1 || PyDict_SetItem(modules, info.full_name_str, module) == 0;
}

PyObject* builtin(ModuleInfo& info, PyObject* name) noexcept {
  PyObject* value = PyDict_GetItemWithError(info.builtins, name);
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
  }
  return Py_NewRef(value);
}

bool make_strings(const StringConstant* table, int n) noexcept {
  for (int i = 0; i < n; ++i) {
    if (*table[i].slot != nullptr) continue;
    *table[i].slot = table[i].interned ? PyUnicode_InternFromString(table[i].text)
                                       : PyUnicode_FromString(table[i].text);
    if (*table[i].slot == nullptr) return false;
  }
  return true;
}

PyObject* names_tuple(std::initializer_list<const char*> names) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* name : names) {
    PyObject* s = tuple ? PyUnicode_InternFromString(name) : nullptr;
    if (s == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i++, s);
  }
  return tuple.release();
}

bool ready_type_without_gc(PyTypeObject* type) noexcept {
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(type), 1);  // a static type is never freed
  const int was_enabled = PyGC_Disable();
  const int status = PyType_Ready(type);
  if (was_enabled) PyGC_Enable();
  return status == 0;
}


}  // namespace frame

namespace frame {

int run_exec(const ModuleRecipe& r, PyObject* module) noexcept {
  ProcessState& state = *r.state;
  ModuleInfo& info = *r.info;
  int begun = begin_exec(state, info, module);
  if (begun != 0) return begun > 0 ? 0 : -1;
  if (!r.make_constants()) return fail_exec(state, info, 0);
  if (!register_full_name(info, module) || !r.bind_builtins() || !ready_function_type() ||
      !prepare_rows(info, r.code_rows, r.n_code_rows) ||
      (r.ready_private_types != nullptr && !r.ready_private_types())) {
    return fail_exec(state, info, 1);
  }
  for (int i = 0; i < r.n_imports; ++i) {
    const ImportStep& step = r.imports[i];
    bool ok = step.name == nullptr ? bind_import_module(info, *step.module)
                                   : bind_import_name(info, *step.module, *step.name);
    if (!ok) return fail_exec(state, info, step.line);
  }
  int line = 0;
  if (!r.build_class(&line)) return fail_exec(state, info, line);
  Ref test = Ref::steal(PyDict_New());
  if (!test || PyDict_SetItem(info.globals, *r.test_name, test.get()) < 0) {
    return fail_exec(state, info, 1);
  }
  return 0;
}

}  // namespace frame

namespace frame {
namespace {

const ModuleRecipe* module_recipe = nullptr;

PyObject* create_slot(PyObject* spec, PyModuleDef*) {
  return create_module(*module_recipe->state, spec);
}

int exec_slot(PyObject* module) { return run_exec(*module_recipe, module); }

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_slot)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, no_functions, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* init_module(const char* name, const ModuleRecipe& recipe) noexcept {
  module_recipe = &recipe;
  definition.m_name = name;
  return PyModuleDef_Init(&definition);
}

}  // namespace frame
