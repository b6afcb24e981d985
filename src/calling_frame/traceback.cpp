#include "traceback.hpp"

#include <frameobject.h>

#include "ref.hpp"

namespace frame {
namespace {

// Code objects of entries, per name and line. A module names a few dozen; past the capacity an
// entry's code is made afresh each time.
struct CachedCode {
  const char* name;
  int line;
  PyObject* code;
};
constexpr int kCacheSize = 128;
CachedCode cache[kCacheSize];
int cached = 0;

Ref entry_code(const ModuleInfo& info, const char* func_name, int line) {
  for (int i = 0; i < cached; ++i) {
    if (cache[i].name == func_name && cache[i].line == line) return Ref::borrow(cache[i].code);
  }
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(
      PyCode_NewEmpty(info.source_path, func_name, line)));
  if (code && cached < kCacheSize) cache[cached++] = {func_name, line, Py_NewRef(code.get())};
  return code;
}

}  // namespace

void add_traceback(const ModuleInfo& info, PyObject* globals, const char* func_name,
                   int line) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  Ref code = func_name != nullptr ? entry_code(info, func_name, line) : Ref();
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
