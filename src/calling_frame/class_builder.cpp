// Building a lock class as a class statement does.
#include "startup.hpp"

namespace frame {
namespace {

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

bool build_class(ModuleInfo& info, const ClassSpec& spec, int* fail_line) noexcept {
  *fail_line = spec.line;
  Ref base = Ref::steal(lookup_global(info, spec.base_name));
  if (!base) return false;
  Ref given = Ref::steal(PyTuple_Pack(1, base.get()));
  if (!given) return false;
  Ref bases = resolve_mro_entries(given.get());
  if (!bases) return false;
  PyObject* meta = choose_metaclass(bases.get());
  if (meta == nullptr) return false;
  Ref ns = prepare_namespace(meta, spec.name, bases.get());
  if (!ns) return false;
  auto store = [&ns](const char* key, PyObject* value) {
    Ref k = Ref::steal(PyUnicode_InternFromString(key));
    return k && PyObject_SetItem(ns.get(), k.get(), value) == 0;
  };
  if (!store("__module__", info.full_name_str) || !store("__qualname__", spec.name) ||
      !store("__doc__", spec.doc)) {
    return false;
  }
  if (bases.get() != given.get() && !store("__orig_bases__", given.get())) return false;
  if (spec.annotations != nullptr && !store("__annotations__", spec.annotations)) return false;
  for (int i = 0; i < spec.n_members; ++i) {
    const FunctionRow& row = *spec.members[i];
    *fail_line = row.line;
    Ref member = Ref::steal(make_member(row, info, spec.property_type, spec.staticmethod_type));
    if (!member || PyObject_SetItem(ns.get(), row.name_obj, member.get()) < 0) return false;
  }
  *fail_line = spec.line;
  PyObject* args[] = {spec.name, bases.get(), ns.get()};
  Ref cls = Ref::steal(PyObject_Vectorcall(meta, args, 3, nullptr));
  return cls && PyDict_SetItem(info.globals, spec.name, cls.get()) == 0;
}

}  // namespace frame
