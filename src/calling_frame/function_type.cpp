// The function type: slots, attribute table and construction.
#include <cstddef>

#include "docstring.hpp"
#include "function.hpp"
#include "ref.hpp"
#include "traceback.hpp"

namespace frame {
namespace {

PyTypeObject function_type_object{};

Function* as_fn(PyObject* o) { return reinterpret_cast<Function*>(o); }

// --- defaults, annotations, docstring, coroutine marker: caches made on first request ---

bool ensure_defaults(Function* f) {
  if (f->defaults_made) return true;
  PyObject* kwdefaults = Py_None;
  Ref made;
  if (f->record != nullptr) {
    const FunctionRow& row = *f->row;
    made = Ref::steal(PyDict_New());
    for (int i = 0; made && i < row.n_kwonly; ++i) {
      if (PyDict_SetItem(made.get(), row.params[row.n_positional + i].name_obj,
                         PyTuple_GET_ITEM(f->record, i)) < 0) {
        made = Ref();
      }
    }
    if (!made) {
      add_traceback(*f->info, PyUnicode_AsUTF8(f->info->defaults_trace), row.line);
      return false;
    }
    kwdefaults = made.get();
  }
  f->defaults = Py_NewRef(Py_None);
  f->kwdefaults = Py_NewRef(kwdefaults);
  f->defaults_made = true;
  return true;
}

PyObject* row_annotations(const FunctionRow& row) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (int i = 0; i < row.n_params(); ++i) {
    const Param& p = row.params[i];
    if (p.annotation == nullptr) continue;
    Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
    if (!text || PyDict_SetItem(dict.get(), p.name_obj, text.get()) < 0) return nullptr;
  }
  if (row.return_annotation != nullptr) {
    Ref text = Ref::steal(PyUnicode_FromString(row.return_annotation));
    if (!text || PyDict_SetItemString(dict.get(), "return", text.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* get_doc(PyObject* self, void*) {
  Function* f = as_fn(self);
  if (!f->doc_made) {
    f->doc = f->row->doc_lines ? format_docstring(f->row->doc_lines, 8) : Py_NewRef(Py_None);
    if (f->doc == nullptr) return nullptr;
    f->doc_made = true;
  }
  return Py_NewRef(f->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) {
  Function* f = as_fn(self);
  Py_XSETREF(f->doc, Py_NewRef(value ? value : Py_None));
  f->doc_made = true;
  return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_fn(self)->name); }

int set_str_field(PyObject*& field, PyObject* value, const char* message) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_SETREF(field, Py_NewRef(value));
  return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
  return set_str_field(as_fn(self)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_fn(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str_field(as_fn(self)->qualname, value,
                       "__qualname__ must be set to a string object");
}

PyObject* get_dict(PyObject* self, void*) {
  Function* f = as_fn(self);
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
  Py_XSETREF(as_fn(self)->dict, Py_NewRef(value));
  return 0;
}

PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_fn(self)->info->globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_fn(self)->code); }

PyObject* get_defaults(PyObject* self, void*) {
  Function* f = as_fn(self);
  if (!ensure_defaults(f)) return nullptr;
  return Py_NewRef(f->defaults);
}

PyObject* get_kwdefaults(PyObject* self, void*) {
  Function* f = as_fn(self);
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
  Function* f = as_fn(self);
  return store_defaults(f, f->defaults, value,
                        "changes to __defaults__ will not affect the values used in calls");
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  Function* f = as_fn(self);
  return store_defaults(f, f->kwdefaults, value,
                        "changes to __kwdefaults__ will not affect the values used in calls");
}

PyObject* get_annotations(PyObject* self, void*) {
  Function* f = as_fn(self);
  if (f->annotations == nullptr) {
    f->annotations = f->annotations_from_row ? row_annotations(*f->row) : PyDict_New();
    if (f->annotations == nullptr) return nullptr;
    f->annotations_from_row = false;
  }
  return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  Function* f = as_fn(self);
  if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  f->annotations_from_row = false;
  Py_XSETREF(f->annotations, (value == nullptr || value == Py_None) ? nullptr : Py_NewRef(value));
  return 0;
}

PyObject* get_is_coroutine(PyObject* self, void*) {
  Function* f = as_fn(self);
  if (!f->coroutine) Py_RETURN_FALSE;
  if (f->is_coroutine == nullptr) {
    Ref module = Ref::steal(PyImport_ImportModule("asyncio.coroutines"));
    Ref marker = module ? Ref::steal(PyObject_GetAttrString(module.get(), "_is_coroutine")) : Ref();
    if (!marker) {
      PyErr_Clear();
      marker = Ref::borrow(Py_True);
    }
    f->is_coroutine = marker.release();
  }
  return Py_NewRef(f->is_coroutine);
}

PyObject* get_module(PyObject* self, void*) {
  PyObject* module = as_fn(self)->module;
  return Py_NewRef(module ? module : Py_None);
}

int set_module(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(as_fn(self)->module, Py_XNewRef(value));
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

PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_fn(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- slots ---

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = as_fn(self);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->code);
  Py_VISIT(f->closure);
  Py_VISIT(f->record);
  Py_VISIT(f->doc);
  Py_VISIT(f->dict);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->is_coroutine);
  return 0;
}

int function_clear(PyObject* self) {
  Function* f = as_fn(self);
  Py_CLEAR(f->closure);
  Py_CLEAR(f->record);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->is_coroutine);
  Py_CLEAR(f->module);
  return 0;
}

void function_dealloc(PyObject* self) {
  Function* f = as_fn(self);
  PyObject_GC_UnTrack(self);
  if (f->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->code);
  Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<lock function %U at %p>", as_fn(self)->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None || as_fn(self)->row->is_static) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* make_record(const FunctionRow& row) {
  Ref record = Ref::steal(PyTuple_New(row.n_kwonly));
  if (!record) return nullptr;
  for (int i = 0; i < row.n_kwonly; ++i) {
    const Param& p = row.params[row.n_positional + i];
    PyObject* value = Py_None;
    switch (p.def) {
      case Default::true_: value = Py_True; break;
      case Default::false_: value = Py_False; break;
      case Default::record: value = *p.record; break;
      default: break;
    }
    PyTuple_SET_ITEM(record.get(), i, Py_NewRef(value));
  }
  return record.release();
}

PyObject* make_code(const ModuleInfo& info, const FunctionRow& row) {
  int n_extra = 0;
  for (const char* const* v = row.extra_varnames; v && *v; ++v) ++n_extra;
  const int n_params = row.n_params();
  Ref varnames = Ref::steal(PyTuple_New(n_params + n_extra));
  if (!varnames) return nullptr;
  for (int i = 0; i < n_params; ++i) {
    PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(row.params[i].name_obj));
  }
  for (int i = 0; i < n_extra; ++i) {
    PyObject* name = PyUnicode_InternFromString(row.extra_varnames[i]);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(varnames.get(), n_params + i, name);
  }
  Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  Ref empty_tuple = Ref::steal(PyTuple_New(0));
  if (!empty_bytes || !empty_tuple) return nullptr;
  return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
      row.n_positional, 0, row.n_kwonly, n_params + n_extra, 0, row.code_flags(),
      empty_bytes.get(), empty_tuple.get(), empty_tuple.get(), varnames.get(), empty_tuple.get(),
      empty_tuple.get(), info.source_path_str, row.name_obj, row.name_obj, row.line,
      empty_bytes.get(), empty_bytes.get()));
}

}  // namespace

PyTypeObject* function_type() noexcept { return &function_type_object; }

bool ready_function_type() noexcept {
  PyTypeObject* t = &function_type_object;
  if (t->tp_flags & Py_TPFLAGS_READY) return true;
  t->tp_name = "lock_function";
  t->tp_basicsize = sizeof(Function);
  t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
  t->tp_vectorcall_offset = offsetof(Function, vectorcall);
  t->tp_call = PyVectorcall_Call;
  t->tp_dictoffset = offsetof(Function, dict);
  t->tp_weaklistoffset = offsetof(Function, weakreflist);
  t->tp_dealloc = function_dealloc;
  t->tp_traverse = function_traverse;
  t->tp_clear = function_clear;
  t->tp_repr = function_repr;
  t->tp_descr_get = function_descr_get;
  t->tp_getset = function_getset;
  t->tp_methods = function_methods;
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(t), 1);  // a static type is never freed
  return PyType_Ready(t) == 0;
}

bool prepare_rows(ModuleInfo& info, const FunctionRow* const* rows, int n) noexcept {
  for (int r = 0; r < n; ++r) {
    const FunctionRow& row = *rows[r];
    if (row.code != nullptr) continue;
    if (!row.name_obj && !(row.name_obj = PyUnicode_InternFromString(row.name))) return false;
    if (!row.qualname_obj && !(row.qualname_obj = PyUnicode_FromString(row.qualname))) {
      return false;
    }
    if (!row.trace_full_name) {
      row.trace_full_name = PyUnicode_FromFormat(
          "%s.%s", info.full_name, row.trace_name ? row.trace_name : row.qualname);
      if (!row.trace_full_name) return false;
      row.trace_c = PyUnicode_AsUTF8(row.trace_full_name);
      if (!row.trace_c) return false;
    }
    for (int i = 0; i < row.n_params(); ++i) {
      Param& p = row.params[i];
      if (!p.name_obj && !(p.name_obj = PyUnicode_InternFromString(p.name))) return false;
    }
    if (!(row.code = make_code(info, row))) return false;
  }
  return true;
}

PyObject* function_new(const FunctionRow& row, ModuleInfo& info, PyObject* closure) noexcept {
  PyObject* record = nullptr;
  if (row.n_kwonly > 0 && !(record = make_record(row))) return nullptr;
  Function* f = PyObject_GC_New(Function, &function_type_object);
  if (f == nullptr) {
    Py_XDECREF(record);
    return nullptr;
  }
  f->vectorcall = function_vectorcall;
  f->row = &row;
  f->info = &info;
  f->name = Py_NewRef(row.name_obj);
  f->qualname = Py_NewRef(row.qualname_obj);
  f->module = Py_NewRef(info.full_name_str);
  f->code = Py_NewRef(row.code);
  f->closure = Py_XNewRef(closure);
  f->record = record;
  f->doc = nullptr;
  f->dict = nullptr;
  f->defaults = nullptr;
  f->kwdefaults = nullptr;
  f->annotations = nullptr;
  f->is_coroutine = nullptr;
  f->weakreflist = nullptr;
  f->doc_made = false;
  f->defaults_made = false;
  f->annotations_from_row = true;
  f->coroutine = false;
  PyObject_GC_Track(f);
  return reinterpret_cast<PyObject*>(f);
}

PyObject* make_member(const FunctionRow& row, ModuleInfo& info, PyObject* property_type,
                      PyObject* staticmethod_type) noexcept {
  Ref fn = Ref::steal(function_new(row, info, nullptr));
  if (!fn || row.wrap == Wrap::plain) return fn.release();
  PyObject* wrapper = row.wrap == Wrap::property ? property_type : staticmethod_type;
  return PyObject_CallOneArg(wrapper, fn.get());
}

PyObject* fail(Function* fn, int line) noexcept {
  add_traceback(*fn->info, fn->row->trace_c, line);
  return nullptr;
}

}  // namespace frame
