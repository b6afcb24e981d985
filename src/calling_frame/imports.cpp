// The two import procedures of a module body: `import name` and `from module import name`.
#include "startup.hpp"

namespace frame {
namespace {

// A module in sys.modules that is still running its own start-up must go through the import
// machinery, which waits for it; unreadable markers count as "not initialising".
bool still_initializing(PyObject* module) {
  Ref spec = Ref::steal(PyObject_GetAttrString(module, "__spec__"));
  Ref flag = spec ? Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing")) : Ref();
  int truth = flag ? PyObject_IsTrue(flag.get()) : 0;
  if (truth < 0 || !flag) PyErr_Clear();
  return truth > 0;
}

Ref import_level0(ModuleInfo& info, PyObject* name, PyObject* fromlist) {
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return Ref();
  return Ref::steal(PyImport_ImportModuleLevelObject(name, info.globals, locals.get(), fromlist, 0));
}

}  // namespace

Ref import_module(ModuleInfo& info, PyObject* name) noexcept {
  PyObject* existing = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
  if (existing == nullptr && PyErr_Occurred()) return Ref();
  // A None entry blocks the import; the import machinery reports it.
  if (existing != nullptr && existing != Py_None && !still_initializing(existing)) {
    return Ref::borrow(existing);
  }
  return import_level0(info, name, nullptr);
}

bool bind_import_module(ModuleInfo& info, PyObject* name) noexcept {
  Ref module = import_module(info, name);
  return module && PyDict_SetItem(info.globals, name, module.get()) == 0;
}

bool bind_import_name(ModuleInfo& info, PyObject* module_name, PyObject* name) noexcept {
  Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
  Ref module = fromlist ? import_level0(info, module_name, fromlist.get()) : Ref();
  if (!module) return false;
  Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    Ref own_name = Ref::steal(PyObject_GetAttrString(module.get(), "__name__"));
    Ref full = own_name ? Ref::steal(PyUnicode_FromFormat("%S.%S", own_name.get(), name)) : Ref();
    PyObject* entry = full ? PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get()) : nullptr;
    if (entry == nullptr) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
      return false;
    }
    value = Ref::borrow(entry);
  }
  return PyDict_SetItem(info.globals, name, value.get()) == 0;
}

}  // namespace frame
