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

// A module in sys.modules that is still running its own start-up must go through the import
// machinery, which waits for it; unreadable markers count as "not initialising".
bool still_initializing(PyObject* module) {
  Ref spec = Ref::steal(PyObject_GetAttrString(module, "__spec__"));
  Ref flag = spec ? Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing")) : Ref();
  int truth = flag ? PyObject_IsTrue(flag.get()) : 0;
  if (truth < 0 || !flag) PyErr_Clear();
  return truth > 0;
}

Ref import_level0(ModuleInfo& info, PyObject* name, PyObject* fromlist) {
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return Ref();
  return Ref::steal(PyImport_ImportModuleLevelObject(name, info.globals, locals.get(), fromlist, 0));
}

Ref resolve_mro_entries(PyObject* given) {
  Py_ssize_t n = PyTuple_GET_SIZE(given);
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return Ref();
  bool replaced = false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* base = PyTuple_GET_ITEM(given, i);
    Ref entries;
    if (!PyType_Check(base)) {
      Ref meth = Ref::steal(PyObject_GetAttrString(base, "__mro_entries__"));
      if (!meth) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
      } else {
        entries = Ref::steal(PyObject_CallOneArg(meth.get(), given));
        if (!entries) return Ref();
        if (!PyTuple_Check(entries.get())) {
          PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
          return Ref();
        }
      }
    }
    if (entries) {
      replaced = true;
      for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j) {
        if (PyList_Append(list.get(), PyTuple_GET_ITEM(entries.get(), j)) < 0) return Ref();
      }
    } else if (PyList_Append(list.get(), base) < 0) {
      return Ref();
    }
  }
  if (!replaced) return Ref::borrow(given);
  return Ref::steal(PyList_AsTuple(list.get()));
}

PyObject* choose_metaclass(PyObject* bases) {
  Py_ssize_t n = PyTuple_GET_SIZE(bases);
  if (n == 0) return reinterpret_cast<PyObject*>(&PyType_Type);
  PyTypeObject* winner = Py_TYPE(PyTuple_GET_ITEM(bases, 0));
  for (Py_ssize_t i = 1; i < n; ++i) {
    PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    if (PyType_IsSubtype(winner, t)) continue;
    if (PyType_IsSubtype(t, winner)) {
      winner = t;
      continue;
    }
    PyErr_SetString(PyExc_TypeError,
                    "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                    "subclass of the metaclasses of all its bases");
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(winner);
}

Ref prepare_namespace(PyObject* meta, PyObject* name, PyObject* bases) {
  Ref prepare = Ref::steal(PyObject_GetAttrString(meta, "__prepare__"));
  if (!prepare) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    return Ref::steal(PyDict_New());
  }
  PyObject* args[] = {name, bases};
  return Ref::steal(PyObject_Vectorcall(prepare.get(), args, 2, nullptr));
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

Ref import_module(ModuleInfo& info, PyObject* name) noexcept {
  PyObject* existing = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
  if (existing == nullptr && PyErr_Occurred()) return Ref();
  // A None entry blocks the import; the import machinery reports it.
  if (existing != nullptr && existing != Py_None && !still_initializing(existing)) {
    return Ref::borrow(existing);
  }
  return import_level0(info, name, nullptr);
}

bool bind_import_module(ModuleInfo& info, PyObject* name) noexcept {
  Ref module = import_module(info, name);
  return module && PyDict_SetItem(info.globals, name, module.get()) == 0;
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

bool bind_import_name(ModuleInfo& info, PyObject* module_name, PyObject* name) noexcept {
  Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
  Ref module = fromlist ? import_level0(info, module_name, fromlist.get()) : Ref();
  if (!module) return false;
  Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    Ref own_name = Ref::steal(PyObject_GetAttrString(module.get(), "__name__"));
    Ref full = own_name ? Ref::steal(PyUnicode_FromFormat("%S.%S", own_name.get(), name)) : Ref();
    PyObject* entry = full ? PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get()) : nullptr;
    if (entry == nullptr) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
      return false;
    }
    value = Ref::borrow(entry);
  }
  return PyDict_SetItem(info.globals, name, value.get()) == 0;
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

PyObject* build_class(ModuleInfo& info, const ClassSpec& spec, int* fail_line) noexcept {
  *fail_line = spec.line;
  Ref base = Ref::steal(lookup_global(info, spec.base_name));
  if (!base) return nullptr;
  Ref given = Ref::steal(PyTuple_Pack(1, base.get()));
  if (!given) return nullptr;
  Ref bases = resolve_mro_entries(given.get());
  if (!bases) return nullptr;
  PyObject* meta = choose_metaclass(bases.get());
  if (meta == nullptr) return nullptr;
  Ref ns = prepare_namespace(meta, spec.name, bases.get());
  if (!ns) return nullptr;
  auto store = [&ns](const char* key, PyObject* value) {
    Ref k = Ref::steal(PyUnicode_InternFromString(key));
    return k && PyObject_SetItem(ns.get(), k.get(), value) == 0;
  };
  if (!store("__module__", info.full_name_str) || !store("__qualname__", spec.name) ||
      !store("__doc__", spec.doc)) {
    return nullptr;
  }
  if (bases.get() != given.get() && !store("__orig_bases__", given.get())) return nullptr;
  if (spec.annotations != nullptr && !store("__annotations__", spec.annotations)) return nullptr;
  for (int i = 0; i < spec.n_members; ++i) {
    const FunctionRow& row = *spec.members[i];
    *fail_line = row.line;
    Ref member = Ref::steal(make_member(row, info, spec.property_type, spec.staticmethod_type));
    if (!member || PyObject_SetItem(ns.get(), row.name_obj, member.get()) < 0) return nullptr;
  }
  *fail_line = spec.line;
  PyObject* args[] = {spec.name, bases.get(), ns.get()};
  return PyObject_Vectorcall(meta, args, 3, nullptr);
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
