// The function type: slots, attribute table and construction.
#include <cstddef>

#include "function.hpp"
#include "ref.hpp"
#include "traceback.hpp"

namespace frame {
namespace {

PyTypeObject function_type_object{};

Function* as_fn(PyObject* o) { return reinterpret_cast<Function*>(o); }

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
  t->tp_getset = function_getset_table();
  t->tp_methods = function_method_table();
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
