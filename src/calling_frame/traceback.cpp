#include "traceback.hpp"

#include <frameobject.h>

#include "ref.hpp"

namespace frame {
namespace {

// A module names a few dozen entries; past the cache's capacity an entry's code is made afresh
// each time.
Ref entry_code(ModuleState& state, PyObject* func_name, int line) {
  for (int i = 0; i < state.n_entry_codes; ++i) {
    const EntryCode& c = state.entry_codes[i];
    if (c.name == func_name && c.line == line) return Ref::borrow(c.code);
  }
  const char* name = PyUnicode_AsUTF8(func_name);
  Ref code = name ? Ref::steal(reinterpret_cast<PyObject*>(
                        PyCode_NewEmpty(state.source_path, name, line)))
                  : Ref();
  if (code && state.n_entry_codes < kCachedCodes) {
    state.entry_codes[state.n_entry_codes++] = {func_name, line, Py_NewRef(code.get())};
  }
  return code;
}

}  // namespace

void add_traceback(ModuleState& state, PyObject* globals, PyObject* func_name,
                   int line) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  Ref code = func_name != nullptr ? entry_code(state, func_name, line) : Ref();
  Ref frame_obj;
  if (code && globals != nullptr) {
    frame_obj = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
  }
  if (!frame_obj) {
    // Losing one entry is better than losing the exception being reported.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return;
  }
  PyErr_SetRaisedException(exc);
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame_obj.get()));
}

}  // namespace frame
