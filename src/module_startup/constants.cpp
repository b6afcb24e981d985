// Helpers for the constants and private types that each module makes once per process.
#include "startup.hpp"

namespace startup {

bool make_strings(const StringConstant* table, int n) noexcept {
  for (int i = 0; i < n; ++i) {
    if (*table[i].slot != nullptr) continue;
    *table[i].slot = table[i].interned ? PyUnicode_InternFromString(table[i].text)
                                       : PyUnicode_FromString(table[i].text);
    if (*table[i].slot == nullptr) return false;
  }
  return true;
}

PyObject* names_tuple(std::initializer_list<const char*> names) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* name : names) {
    PyObject* s = tuple ? PyUnicode_InternFromString(name) : nullptr;
    if (s == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i++, s);
  }
  return tuple.release();
}

bool ready_type_without_gc(PyTypeObject* type) noexcept {
  if (type->tp_flags & Py_TPFLAGS_READY) return true;
  const int was_enabled = PyGC_Disable();
  const int status = PyType_Ready(type);
  if (was_enabled) PyGC_Enable();
  return status == 0;
}

}  // namespace startup
