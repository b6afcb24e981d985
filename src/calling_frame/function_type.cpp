// The function types: slots, readying and construction.
#include <opcode.h>

#include <cstddef>

#include "function.hpp"
#include "ref.hpp"
#include "traceback.hpp"

namespace frame {
namespace {

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = as_function(self);
  Py_VISIT(f->globals);
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

// Breaks cycles through what callers may assign. What calls rely on (globals, closure, defaults
// record, code, names) stays, and every cache cleared here is made again on its next read.
int function_clear(PyObject* self) {
  Function* f = as_function(self);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->is_coroutine);
  Py_CLEAR(f->module);
  f->annotations_from_row = true;
  return 0;
}

void function_dealloc(PyObject* self) {
  Function* f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->closure);
  Py_CLEAR(f->record);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->code);
  Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<lock function %U at %p>", as_function(self)->qualname, self);
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* static_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

bool ready(PyTypeObject* t, const char* name, unsigned long flags, descrgetfunc descr_get) {
  if (t->tp_flags & Py_TPFLAGS_READY) return true;
  t->tp_name = name;
  t->tp_basicsize = sizeof(Function);
  t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                Py_TPFLAGS_HAVE_VECTORCALL | flags;
  t->tp_vectorcall_offset = offsetof(Function, vectorcall);
  t->tp_call = PyVectorcall_Call;
  t->tp_dictoffset = offsetof(Function, dict);
  t->tp_weaklistoffset = offsetof(Function, weakreflist);
  t->tp_dealloc = function_dealloc;
  t->tp_traverse = function_traverse;
  t->tp_clear = function_clear;
  t->tp_repr = function_repr;
  t->tp_descr_get = descr_get;
  t->tp_getset = function_getset_table();
  t->tp_methods = function_method_table();
  return PyType_Ready(t) == 0;
}

// Methods: a method descriptor, so a call on an instance passes the instance without a bound
// method. Static functions: never bound, so they carry no descriptor flag either, and a static
// function copied into another class is called the same by every spelling.
bool ready_types(ModuleState& state) {
  return ready(&state.method_type, "lock_function", Py_TPFLAGS_METHOD_DESCRIPTOR,
               method_descr_get) &&
         ready(&state.static_type, "lock_static_function", 0, static_descr_get);
}

PyObject* make_record(const FunctionRow& row) {
  const int n = row.params.n_positional;
  Ref record = Ref::steal(PyTuple_New(row.params.n_kwonly));
  if (!record) return nullptr;
  for (int i = 0; i < row.params.n_kwonly; ++i) {
    const Param& p = row.params.items[n + i];
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

// The least body that raises, as the interpreter's own empty code objects have: code with no
// instructions would be run past its end by anyone who builds a function over it.
constexpr unsigned char kBody[] = {RESUME, 0, LOAD_ASSERTION_ERROR, 0, RAISE_VARARGS, 1};
// Its one location entry: three code units on the first line, no columns (entry kind 13).
constexpr unsigned char kLines[] = {0x80 | (13 << 3) | (3 - 1), 0};

PyObject* bytes_of(const unsigned char* data, Py_ssize_t size) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), size);
}

PyObject* make_code(const ModuleState& state, const FunctionRow& row, const RowObjects& objects) {
  int n_locals = 0;
  for (const char* const* v = row.locals; v && *v; ++v) ++n_locals;
  const int n_params = row.params.count;
  Ref varnames = Ref::steal(PyTuple_New(n_params + n_locals));
  if (!varnames) return nullptr;
  for (int i = 0; i < n_params; ++i) {
    PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(objects.param_names[i]));
  }
  for (int i = 0; i < n_locals; ++i) {
    PyObject* name = PyUnicode_InternFromString(row.locals[i]);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(varnames.get(), n_params + i, name);
  }
  Ref body = Ref::steal(bytes_of(kBody, sizeof kBody));
  Ref lines = Ref::steal(bytes_of(kLines, sizeof kLines));
  Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
  Ref empty_tuple = Ref::steal(PyTuple_New(0));
  if (!body || !lines || !empty_bytes || !empty_tuple) return nullptr;
  return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
      row.params.n_positional, 0, row.params.n_kwonly, n_params + n_locals, 1, row.code_flags(),
      body.get(), empty_tuple.get(), empty_tuple.get(), varnames.get(), empty_tuple.get(),
      empty_tuple.get(), state.source_path_str, objects.name, objects.name, row.line,
      lines.get(), empty_bytes.get()));
}

bool prepare_row(ModuleState& state, const FunctionRow& row, RowObjects& o) {
  o.row = &row;
  if (!o.name && !(o.name = PyUnicode_InternFromString(row.name))) return false;
  if (!o.qualname && !(o.qualname = PyUnicode_FromString(row.qualname))) return false;
  if (!o.trace_name && !(o.trace_name = PyUnicode_FromFormat(
                             "%s.%s", state.full_name,
                             row.trace_name ? row.trace_name : row.qualname))) {
    return false;
  }
  for (int i = 0; i < row.params.count; ++i) {
    PyObject*& name = o.param_names[i];
    if (!name && !(name = PyUnicode_InternFromString(row.params.items[i].name))) return false;
  }
  return o.code || (o.code = make_code(state, row, o));
}

}  // namespace

bool prepare_rows(ModuleState& state, const FunctionRow* const* rows, int n) noexcept {
  if (n > kMaxRows) {
    PyErr_SetString(PyExc_SystemError, "a lock module has more members than its state holds");
    return false;
  }
  if (!ready_types(state)) return false;
  state.n_rows = n;
  for (int r = 0; r < n; ++r) {
    if (!prepare_row(state, *rows[r], state.rows[r])) return false;
  }
  return true;
}

PyObject* function_new(const FunctionRow& row, ModuleState& state, PyObject* globals,
                       PyObject* closure) noexcept {
  PyObject* record = nullptr;
  if (row.params.n_kwonly > 0 && !(record = make_record(row))) return nullptr;
  Function* f = PyObject_GC_New(Function, row.is_static() ? &state.static_type : &state.method_type);
  if (f == nullptr) {
    Py_XDECREF(record);
    return nullptr;
  }
  const RowObjects& objects = state.objects_of(row);
  f->vectorcall = function_vectorcall;
  f->row = &row;
  f->objects = &objects;
  f->state = &state;
  f->globals = Py_NewRef(globals);
  f->name = Py_NewRef(objects.name);
  f->qualname = Py_NewRef(objects.qualname);
  f->module = Py_NewRef(state.full_name_str);
  f->code = Py_NewRef(objects.code);
  f->closure = Py_XNewRef(closure);
  f->record = record;
  f->doc = nullptr;
  f->dict = nullptr;
  f->defaults = nullptr;
  f->kwdefaults = nullptr;
  f->annotations = nullptr;
  f->is_coroutine = nullptr;
  f->weakreflist = nullptr;
  f->annotations_from_row = true;
  f->coroutine = false;
  PyObject_GC_Track(f);
  return reinterpret_cast<PyObject*>(f);
}

PyObject* make_member(const FunctionRow& row, ModuleState& state, PyObject* globals,
                      PyObject* property_type, PyObject* staticmethod_type) noexcept {
  Ref fn = Ref::steal(function_new(row, state, globals, nullptr));
  if (!fn || row.wrap == Wrap::plain) return fn.release();
  PyObject* wrapper = row.wrap == Wrap::property ? property_type : staticmethod_type;
  return PyObject_CallOneArg(wrapper, fn.get());
}

void add_entry(Function* fn, int line) noexcept {
  add_traceback(*fn->state, fn->globals, fn->objects->trace_name, line);
}

Failed fail(Function* fn, int line) noexcept {
  add_entry(fn, line);
  return failed;
}

}  // namespace frame
