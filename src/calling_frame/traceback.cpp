#include "traceback.hpp"

#include <map>
#include <utility>

#include <frameobject.h>

#include "ref.hpp"

namespace frame {
namespace {

// Code objects of entries, per name and line; names are long-lived C strings.
std::map<std::pair<const char*, int>, PyObject*>& code_cache() {
  static auto* cache = new std::map<std::pair<const char*, int>, PyObject*>();
  return *cache;
}

PyObject* entry_code(const ModuleInfo& info, const char* func_name, int line) {
  auto key = std::make_pair(func_name, line);
  auto& cache = code_cache();
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  PyCodeObject* code = PyCode_NewEmpty(info.source_path, func_name, line);
  if (code == nullptr) return nullptr;
  cache.emplace(key, reinterpret_cast<PyObject*>(code));
  return reinterpret_cast<PyObject*>(code);
}

}  // namespace

void add_traceback(const ModuleInfo& info, const char* func_name, int line) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  PyObject* code = entry_code(info, func_name, line);
  Ref frame_obj;
  if (code != nullptr && info.globals != nullptr) {
    frame_obj = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), info.globals, nullptr)));
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
