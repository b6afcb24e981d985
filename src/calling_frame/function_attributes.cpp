// The attribute table of the function type: caches made on first request, and the rules
// for assigning and deleting.
#include "docstring.hpp"
#include "function.hpp"
#include "ref.hpp"
#include "traceback.hpp"

namespace frame {
namespace {

// --- defaults, annotations, docstring, coroutine marker: caches made on first request ---

// Both are made on the first read of either; null means not made yet.
bool ensure_defaults(Function* f) {
  if (f->defaults != nullptr) return true;
  Ref kwdefaults = Ref::borrow(Py_None);
  if (f->record != nullptr) {
    const FunctionRow& row = *f->row;
    kwdefaults = Ref::steal(PyDict_New());
    for (int i = 0; kwdefaults && i < row.params.n_kwonly; ++i) {
      if (PyDict_SetItem(kwdefaults.get(), f->objects->param_names[row.params.n_positional + i],
                         PyTuple_GET_ITEM(f->record, i)) < 0) {
        kwdefaults = Ref();
      }
    }
    if (!kwdefaults) {
      add_traceback(*f->state, f->globals, f->state->defaults_trace, row.line);
      return false;
    }
  }
  Py_XSETREF(f->kwdefaults, kwdefaults.release());
  Py_XSETREF(f->defaults, Py_NewRef(Py_None));
  return true;
}

PyObject* row_annotations(const FunctionRow& row, const RowObjects& objects) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (int i = 0; i < row.params.count; ++i) {
    const Param& p = row.params.items[i];
    if (p.annotation == nullptr) continue;
    Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
    if (!text || PyDict_SetItem(dict.get(), objects.param_names[i], text.get()) < 0) {
      return nullptr;
    }
  }
  if (row.returns != nullptr) {
    Ref text = Ref::steal(PyUnicode_FromString(row.returns));
    if (!text || PyDict_SetItemString(dict.get(), "return", text.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* get_doc(PyObject* self, void*) {
  Function* f = as_function(self);
  if (f->doc == nullptr) {
    PyObject* doc = f->row->doc ? format_docstring(f->row->doc, 8) : Py_NewRef(Py_None);
    if (doc == nullptr) return nullptr;
    Py_XSETREF(f->doc, doc);
  }
  return Py_NewRef(f->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
  return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }

int set_str_field(PyObject*& field, PyObject* value, const char* message) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_SETREF(field, Py_NewRef(value));
  return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
  return set_str_field(as_function(self)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str_field(as_function(self)->qualname, value,
                       "__qualname__ must be set to a string object");
}

PyObject* get_dict(PyObject* self, void*) {
  Function* f = as_function(self);
  if (f->dict == nullptr && (f->dict = PyDict_New()) == nullptr) return nullptr;
  return Py_NewRef(f->dict);
}

int set_dict(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
    return -1;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
    return -1;
  }
  Py_XSETREF(as_function(self)->dict, Py_NewRef(value));
  return 0;
}

PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }

PyObject* get_defaults(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!ensure_defaults(f)) return nullptr;
  return Py_NewRef(f->defaults);
}

PyObject* get_kwdefaults(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!ensure_defaults(f)) return nullptr;
  return Py_NewRef(f->kwdefaults);
}

// Assigned defaults are shown but not used: calls keep the defaults record.
int store_defaults(Function* f, PyObject*& field, PyObject* value, const char* warning) {
  if (!ensure_defaults(f)) return -1;
  if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) return -1;
  Py_SETREF(field, Py_NewRef(value ? value : Py_None));
  return 0;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value != nullptr && value != Py_None && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Function* f = as_function(self);
  return store_defaults(f, f->defaults, value,
                        "changes to __defaults__ will not affect the values used in calls");
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  Function* f = as_function(self);
  return store_defaults(f, f->kwdefaults, value,
                        "changes to __kwdefaults__ will not affect the values used in calls");
}

PyObject* get_annotations(PyObject* self, void*) {
  Function* f = as_function(self);
  if (f->annotations == nullptr) {
    PyObject* made =
        f->annotations_from_row ? row_annotations(*f->row, *f->objects) : PyDict_New();
    if (made == nullptr) return nullptr;
    Py_XSETREF(f->annotations, made);
    f->annotations_from_row = false;
  }
  return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  Function* f = as_function(self);
  if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  f->annotations_from_row = false;
  Py_XSETREF(f->annotations, (value == nullptr || value == Py_None) ? nullptr : Py_NewRef(value));
  return 0;
}

PyObject* get_is_coroutine(PyObject* self, void*) {
  Function* f = as_function(self);
  if (!f->coroutine) Py_RETURN_FALSE;
  if (f->is_coroutine == nullptr) {
    Ref module = Ref::steal(PyImport_ImportModule("asyncio.coroutines"));
    Ref marker = module ? Ref::steal(PyObject_GetAttrString(module.get(), "_is_coroutine")) : Ref();
    if (!marker) {
      PyErr_Clear();
      marker = Ref::borrow(Py_True);
    }
    Py_XSETREF(f->is_coroutine, marker.release());
  }
  return Py_NewRef(f->is_coroutine);
}

PyObject* get_module(PyObject* self, void*) {
  PyObject* module = as_function(self)->module;
  return Py_NewRef(module ? module : Py_None);
}

int set_module(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
  return 0;
}

#define FRAME_GETSET(name, get, set) \
  {const_cast<char*>(name), get, set, nullptr, nullptr}

PyGetSetDef function_getset[] = {
    FRAME_GETSET("__doc__", get_doc, set_doc),
    FRAME_GETSET("func_doc", get_doc, set_doc),
    FRAME_GETSET("__name__", get_name, set_name),
    FRAME_GETSET("func_name", get_name, set_name),
    FRAME_GETSET("__qualname__", get_qualname, set_qualname),
    FRAME_GETSET("__dict__", get_dict, set_dict),
    FRAME_GETSET("func_dict", get_dict, set_dict),
    FRAME_GETSET("__globals__", get_globals, nullptr),
    FRAME_GETSET("func_globals", get_globals, nullptr),
    FRAME_GETSET("__closure__", get_closure, nullptr),
    FRAME_GETSET("func_closure", get_closure, nullptr),
    FRAME_GETSET("__code__", get_code, nullptr),
    FRAME_GETSET("func_code", get_code, nullptr),
    FRAME_GETSET("__defaults__", get_defaults, set_defaults),
    FRAME_GETSET("func_defaults", get_defaults, set_defaults),
    FRAME_GETSET("__kwdefaults__", get_kwdefaults, set_kwdefaults),
    FRAME_GETSET("__annotations__", get_annotations, set_annotations),
    FRAME_GETSET("_is_coroutine", get_is_coroutine, nullptr),
    FRAME_GETSET("__module__", get_module, set_module),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef FRAME_GETSET

PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyGetSetDef* function_getset_table() noexcept { return function_getset; }
PyMethodDef* function_method_table() noexcept { return function_methods; }

}  // namespace frame
