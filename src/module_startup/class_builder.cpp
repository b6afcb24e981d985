// Building a lock class as a class statement does. Everything used after a call into Python
// is owned here: a namespace's __setitem__ or a metaclass may run any code, a collection too.
#include "startup.hpp"
#include "statements.hpp"

namespace startup {
namespace {

Ref resolve_mro_entries(PyObject* given) {
  Py_ssize_t n = PyTuple_GET_SIZE(given);
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return frame::failed;
  bool replaced = false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* base = PyTuple_GET_ITEM(given, i);  // `given` is ours and holds it
    Ref entries;
    if (!PyType_Check(base)) {
      Ref meth = Ref::steal(PyObject_GetAttrString(base, "__mro_entries__"));
      if (!meth) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return frame::failed;
        PyErr_Clear();
      } else {
        entries = Ref::steal(PyObject_CallOneArg(meth.get(), given));
        if (!entries) return frame::failed;
        if (!PyTuple_Check(entries.get())) {
          PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
          return frame::failed;
        }
      }
    }
    if (entries) {
      replaced = true;
      for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j) {
        if (PyList_Append(list.get(), PyTuple_GET_ITEM(entries.get(), j)) < 0) {
          return frame::failed;
        }
      }
    } else if (PyList_Append(list.get(), base) < 0) {
      return frame::failed;
    }
  }
  if (!replaced) return Ref::borrow(given);
  return Ref::steal(PyList_AsTuple(list.get()));
}

Ref choose_metaclass(PyObject* bases) {
  Py_ssize_t n = PyTuple_GET_SIZE(bases);
  if (n == 0) return Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
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
    return frame::failed;
  }
  return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

Ref prepare_namespace(PyObject* meta, PyObject* name, PyObject* bases) {
  Ref prepare = Ref::steal(PyObject_GetAttrString(meta, "__prepare__"));
  if (!prepare) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return frame::failed;
    PyErr_Clear();
    return Ref::steal(PyDict_New());
  }
  PyObject* args[] = {name, bases};
  return Ref::steal(PyObject_Vectorcall(prepare.get(), args, 2, nullptr));
}

bool store(PyObject* ns, const char* key, PyObject* value) {
  Ref k = Ref::steal(PyUnicode_InternFromString(key));
  return k && PyObject_SetItem(ns, k.get(), value) == 0;
}

Ref class_annotations(const ClassSpec& spec) {
  Ref dict = Ref::steal(PyDict_New());
  for (int i = 0; dict && i < spec.n_annotations; ++i) {
    const ClassAnnotation& a = spec.annotations[i];
    if (PyDict_SetItem(dict.get(), *a.name, *a.text) < 0) return frame::failed;
  }
  return dict;
}

}  // namespace

bool build_class(frame::ModuleState& state, PyObject* globals, const ClassSpec& spec,
                 int* fail_line) noexcept {
  *fail_line = spec.line;
  PyObject* name = *spec.name;
  Ref base = frame::lookup_name(globals, state.builtins, *spec.base_name);
  if (!base) return false;
  Ref given = Ref::steal(PyTuple_Pack(1, base.get()));
  if (!given) return false;
  Ref bases = resolve_mro_entries(given.get());
  if (!bases) return false;
  Ref meta = choose_metaclass(bases.get());
  if (!meta) return false;
  Ref ns = prepare_namespace(meta.get(), name, bases.get());
  if (!ns) return false;
  if (!store(ns.get(), "__module__", state.full_name_str) ||
      !store(ns.get(), "__qualname__", name) || !store(ns.get(), "__doc__", *spec.doc)) {
    return false;
  }
  if (bases.get() != given.get() && !store(ns.get(), "__orig_bases__", given.get())) {
    return false;
  }
  if (spec.annotations != nullptr) {
    Ref annotations = class_annotations(spec);
    if (!annotations || !store(ns.get(), "__annotations__", annotations.get())) return false;
  }
  PyObject* property_type = *spec.property_type;
  PyObject* staticmethod_type = spec.staticmethod_type ? *spec.staticmethod_type : nullptr;
  for (int i = 0; i < spec.n_members; ++i) {
    const frame::FunctionRow& row = *spec.members[i];
    *fail_line = row.line;
    Ref member = Ref::steal(
        frame::make_member(row, state, globals, property_type, staticmethod_type));
    if (!member || PyObject_SetItem(ns.get(), state.objects_of(row).name, member.get()) < 0) {
      return false;
    }
  }
  *fail_line = spec.line;
  PyObject* args[] = {name, bases.get(), ns.get()};
  Ref cls = Ref::steal(PyObject_Vectorcall(meta.get(), args, 3, nullptr));
  return cls && PyDict_SetItem(globals, name, cls.get()) == 0;
}

}  // namespace startup
