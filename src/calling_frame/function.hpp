// The one function type of every exposed member, described by rows of data.
#pragma once
#include <Python.h>
#include <cstdint>

#include "module_info.hpp"

namespace frame {

struct Function;

// Receives the bound parameters in declaration order: positional, keyword-only,
// then the star tuple and star dict where the row has them.
using Body = PyObject* (*)(Function* fn, PyObject* const* params);

enum class Check : std::uint8_t { none, exact_str, exact_int };
enum class Default : std::uint8_t { required, none, true_, false_, record };
enum class Wrap : std::uint8_t { plain, property, staticmethod };
enum class Entry : std::uint8_t { fast, noargs };

struct Param {
  const char* name;
  const char* annotation;               // null: not annotated
  Check check = Check::none;
  Default def = Default::required;
  PyObject* const* record = nullptr;    // with Default::record: the module constant
  mutable PyObject* name_obj = nullptr; // interned, made at start-up
};

struct FunctionRow {
  const char* name;
  const char* qualname;
  const char* trace_name;               // traceback naming when it differs from qualname
  int line;
  Param* params;                        // positional, keyword-only, star names
  std::uint8_t n_positional;
  std::uint8_t n_kwonly;
  bool star_args;
  bool star_kwargs;
  const char* return_annotation;
  const char* const* extra_varnames;    // locals after the parameters, null-terminated
  const char* const* doc_lines;         // null: no docstring
  Body body;
  Wrap wrap = Wrap::plain;
  Entry entry = Entry::fast;
  bool is_static = false;

  int code_flags() const noexcept {
    return CO_OPTIMIZED | CO_NEWLOCALS | (star_args ? CO_VARARGS : 0) |
           (star_kwargs ? CO_VARKEYWORDS : 0);
  }
  int n_params() const noexcept {
    return n_positional + n_kwonly + (star_args ? 1 : 0) + (star_kwargs ? 1 : 0);
  }
  // Made at start-up by prepare_rows.
  mutable PyObject* name_obj = nullptr;
  mutable PyObject* qualname_obj = nullptr;
  mutable PyObject* code = nullptr;
  mutable PyObject* trace_full_name = nullptr;  // "module.Class.member"
  mutable const char* trace_c = nullptr;        // its UTF-8, the key of cached entry code
};

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionRow* row;
  ModuleInfo* info;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* code;
  PyObject* closure;       // private record shared with an enclosing call, or null
  PyObject* record;        // tuple of keyword-only defaults used by calls, or null
  PyObject* doc;
  PyObject* dict;
  PyObject* defaults;
  PyObject* kwdefaults;
  PyObject* annotations;
  PyObject* is_coroutine;
  PyObject* weakreflist;
  bool doc_made;
  bool defaults_made;
  bool annotations_from_row;
  bool coroutine;
};

inline constexpr int kMaxParams = 16;

// The attribute and method tables of the function type.
PyGetSetDef* function_getset_table() noexcept;
PyMethodDef* function_method_table() noexcept;

// Readies the function type (once).
bool ready_function_type() noexcept;
PyTypeObject* function_type() noexcept;

// Makes names, parameter names and code objects of `rows`, in order; idempotent.
bool prepare_rows(ModuleInfo& info, const FunctionRow* const* rows, int n) noexcept;

// A new function object of `row`; `closure` may be null.
PyObject* function_new(const FunctionRow& row, ModuleInfo& info, PyObject* closure) noexcept;

// Adds a traceback entry for `fn` at `line` and returns null, for `return fail(...)`.
PyObject* fail(Function* fn, int line) noexcept;

// The object that `row` wraps for the class namespace: the function, or property/staticmethod of it.
PyObject* make_member(const FunctionRow& row, ModuleInfo& info, PyObject* property_type,
                      PyObject* staticmethod_type) noexcept;

// Binds a call to `fn`'s parameters; `out` receives borrowed references except for the star
// tuple and dict, which are new and handed to `owned`. Adds the entry on failure.
bool bind_call(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out, PyObject** owned) noexcept;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept;

}  // namespace frame
