// Argument binding and the call entry of the function type.
#include "function.hpp"
#include "ref.hpp"

namespace frame {
namespace {

bool same_text(PyObject* a, PyObject* b) {
  return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
}

// Position of `name` among the passed keyword names, by identity first, then by text.
Py_ssize_t find_keyword(PyObject* kwnames, Py_ssize_t nkw, PyObject* name) {
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    if (PyTuple_GET_ITEM(kwnames, j) == name) return j;
  }
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    if (same_text(PyTuple_GET_ITEM(kwnames, j), name)) return j;
  }
  return -1;
}

// Position of the named parameter among the first `count` parameters, or -1.
int find_param(PyObject* const* names, int count, PyObject* keyword) {
  for (int i = 0; i < count; ++i) {
    if (names[i] == keyword) return i;
  }
  for (int i = 0; i < count; ++i) {
    if (same_text(names[i], keyword)) return i;
  }
  return -1;
}

Failed count_error(Function* fn, Py_ssize_t given) {
  const FunctionRow& row = *fn->row;
  const int n = row.params.n_positional;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               row.name, row.params.star_args ? "at least" : "exactly",
               static_cast<Py_ssize_t>(n), n == 1 ? "" : "s", given);
  return fail(fn, row.line);
}

Failed keyword_error(Function* fn, const char* format, PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, format, fn->row->name, keyword);
  return fail(fn, fn->row->line);
}

bool check_types(const FunctionRow& row, PyObject* const* out) {
  for (int i = 0; i < row.params.n_positional + row.params.n_kwonly; ++i) {
    const Param& p = row.params.items[i];
    if (p.check == Check::none) continue;
    PyTypeObject* expected = p.check == Check::exact_str ? &PyUnicode_Type : &PyLong_Type;
    if (Py_TYPE(out[i]) != expected) {
      PyErr_Format(PyExc_TypeError,
                   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                   expected->tp_name, Py_TYPE(out[i])->tp_name);
      return false;
    }
  }
  return true;
}

// The general pass over the keywords in passing order: the first offending one decides.
bool bind_keywords_in_order(Function* fn, PyObject* const* kwvalues, PyObject* kwnames,
                            Py_ssize_t nkw, Py_ssize_t nargs, PyObject** out,
                            PyObject* star_dict) {
  const FunctionRow& row = *fn->row;
  const int n = row.params.n_positional;
  const int named = n + row.params.n_kwonly;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, j);
    int i = find_param(fn->objects->param_names, named, keyword);
    if (i >= n || (i >= 0 && i >= nargs)) {
      out[i] = kwvalues[j];
    } else if (i >= 0) {
      return keyword_error(fn, "%s() got multiple values for keyword argument '%U'", keyword);
    } else if (star_dict != nullptr) {
      if (PyDict_SetItem(star_dict, keyword, kwvalues[j]) < 0) return fail(fn, row.line);
    } else {
      return keyword_error(fn, "%s() got an unexpected keyword argument '%U'", keyword);
    }
  }
  return true;
}

}  // namespace

bool bind_call(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out, PyObject** owned) noexcept {
  const FunctionRow& row = *fn->row;
  const int n = row.params.n_positional;
  const int m = row.params.n_kwonly;
  for (int i = 0; i < m; ++i) out[n + i] = PyTuple_GET_ITEM(fn->record, i);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

  if (nargs < n ? nkw == 0 : (nargs > n && !row.params.star_args)) return count_error(fn, nargs);
  const Py_ssize_t copied = nargs < n ? nargs : n;
  for (Py_ssize_t i = 0; i < copied; ++i) out[i] = args[i];

  int slot = n + m;
  if (row.params.star_args) {
    PyObject* extra = PyTuple_New(nargs > n ? nargs - n : 0);
    if (extra == nullptr) return fail(fn, row.line);
    for (Py_ssize_t i = n; i < nargs; ++i) PyTuple_SET_ITEM(extra, i - n, Py_NewRef(args[i]));
    owned[0] = out[slot++] = extra;
  }
  PyObject* star_dict = nullptr;
  if (row.params.star_kwargs) {
    if ((star_dict = PyDict_New()) == nullptr) return fail(fn, row.line);
    owned[1] = out[slot++] = star_dict;
  }

  if (nkw > 0) {
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t used = 0;
    for (int i = static_cast<int>(copied); i < n; ++i) {
      Py_ssize_t j = find_keyword(kwnames, nkw, fn->objects->param_names[i]);
      if (j < 0) return count_error(fn, i);
      out[i] = kwvalues[j];
      ++used;
    }
    Py_ssize_t remaining = nkw - used;
    if (remaining > 0 && remaining <= m) {
      for (int i = n; i < n + m; ++i) {
        Py_ssize_t j = find_keyword(kwnames, nkw, fn->objects->param_names[i]);
        if (j >= 0) {
          out[i] = kwvalues[j];
          --remaining;
        }
      }
    }
    if (remaining > 0 &&
        !bind_keywords_in_order(fn, kwvalues, kwnames, nkw, nargs, out, star_dict)) {
      return false;
    }
  }
  return check_types(row, out);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
  Function* fn = as_function(callable);
  const FunctionRow& row = *fn->row;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (row.entry == Entry::noargs) {
    const Py_ssize_t given = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (given != 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", row.name, given);
      return fail(fn, row.line);
    }
    return row.body(fn, nullptr);
  }
  PyObject* params[kMaxParams];
  PyObject* owned[2] = {nullptr, nullptr};
  PyObject* result = nullptr;
  if (bind_call(fn, args, nargs, kwnames, params, owned)) result = row.body(fn, params);
  Py_XDECREF(owned[0]);
  Py_XDECREF(owned[1]);
  return result;
}

}  // namespace frame
