// The one function type of every exposed member, described by rows of data.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "module_state.hpp"
#include "ref.hpp"

namespace frame {

struct Function;

// Receives the bound parameters in declaration order: positional, keyword-only, then the star
// tuple and star dict where the row has them.
using Body = PyObject* (*)(Function* fn, PyObject* const* params);

enum class Kind : std::uint8_t { positional, keyword_only, star_args, star_kwargs };
enum class Check : std::uint8_t { none, exact_str, exact_int };
enum class Default : std::uint8_t { required, none, true_, false_, record };
enum class Wrap : std::uint8_t { plain, property, staticmethod };
enum class Entry : std::uint8_t { fast, noargs };

struct Param {
  const char* name;
  const char* annotation = nullptr;  // null: not annotated
  Kind kind = Kind::positional;
  Check check = Check::none;
  Default def = Default::required;
  PyObject* const* record = nullptr;  // with Default::record: the module constant
};

// Never defined: reaching it while a row is checked at compile time fails the build.
void parameter_kinds_out_of_order();

// The parameters of a row, counted and checked when the row is compiled.
struct ParamList {
  const Param* items = nullptr;
  std::uint8_t count = 0;
  std::uint8_t n_positional = 0;
  std::uint8_t n_kwonly = 0;
  bool star_args = false;
  bool star_kwargs = false;

  constexpr ParamList() = default;
  template <std::size_t N>
  consteval ParamList(const Param (&params)[N]) : items(params), count(N) {  // NOLINT: implicit
    static_assert(N <= kMaxParams, "a member takes more parameters than the binder can hold");
    Kind last = Kind::positional;
    for (const Param& p : params) {
      const bool repeated_star = p.kind == last && p.kind >= Kind::star_args;
      if (p.kind < last || repeated_star) parameter_kinds_out_of_order();
      last = p.kind;
      n_positional += p.kind == Kind::positional;
      n_kwonly += p.kind == Kind::keyword_only;
      star_args = star_args || p.kind == Kind::star_args;
      star_kwargs = star_kwargs || p.kind == Kind::star_kwargs;
    }
  }
  // The same parameters without the leading `self`, for a static function.
  consteval ParamList without_self() const {
    ParamList rest = *this;
    if (n_positional == 0) parameter_kinds_out_of_order();
    ++rest.items;
    --rest.count;
    --rest.n_positional;
    return rest;
  }
};

struct FunctionRow {
  const char* name;
  const char* qualname;
  int line;                              // the definition's line
  ParamList params = {};
  const char* returns = nullptr;         // return annotation
  const char* const* locals = nullptr;   // further local names of the code object, null-ended
  const char* const* doc = nullptr;      // docstring lines, null-ended; null: no docstring
  Body body = nullptr;
  Wrap wrap = Wrap::plain;
  Entry entry = Entry::fast;
  const char* trace_name = nullptr;      // traceback naming when it differs from qualname

  bool is_static() const noexcept { return wrap == Wrap::staticmethod; }
  int code_flags() const noexcept {
    return CO_OPTIMIZED | CO_NEWLOCALS | (params.star_args ? CO_VARARGS : 0) |
           (params.star_kwargs ? CO_VARKEYWORDS : 0);
  }
};

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionRow* row;
  const RowObjects* objects;  // the row's names and code, made at start-up
  ModuleState* state;
  PyObject* globals;       // the module namespace, owned as a Python function owns it
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
  bool annotations_from_row;  // until read or assigned, they come from the row
  bool coroutine;
};

inline Function* as_function(PyObject* o) noexcept { return reinterpret_cast<Function*>(o); }

// The attribute and method tables of the function types.
PyGetSetDef* function_getset_table() noexcept;
PyMethodDef* function_method_table() noexcept;

// Readies the function types (methods, and the static functions that never bind), then makes the
// names, parameter names and code objects of `rows`, in order; what is made already stays.
[[nodiscard]] bool prepare_rows(ModuleState& state, const FunctionRow* const* rows,
                                int n) noexcept;

// A new function object of `row` over `globals`; `closure` may be null.
PyObject* function_new(const FunctionRow& row, ModuleState& state, PyObject* globals,
                       PyObject* closure) noexcept;

// The object that `row` puts in a class namespace: the function, or property/staticmethod of it.
PyObject* make_member(const FunctionRow& row, ModuleState& state, PyObject* globals,
                      PyObject* property_type, PyObject* staticmethod_type) noexcept;

// Adds a traceback entry for `fn` at `line`, for `return fail(fn, line);`.
Failed fail(Function* fn, int line) noexcept;
// The same entry where the failure is not what the body returns.
void add_entry(Function* fn, int line) noexcept;

// Binds a call to `fn`'s parameters; `out` receives borrowed references except for the star
// tuple and dict, which are new and handed to `owned`. Adds the entry on failure.
bool bind_call(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out, PyObject** owned) noexcept;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept;

}  // namespace frame
