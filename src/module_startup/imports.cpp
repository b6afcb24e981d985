// The two import procedures of a module body: `import name` and `from module import name`.
#include "startup.hpp"

namespace startup {
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

Ref import_level0(PyObject* globals, PyObject* name, PyObject* fromlist) {
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return frame::failed;
  return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, locals.get(), fromlist, 0));
}

// The sys.modules entry of `name`, owned before anything else runs, or null (error or absent).
Ref module_entry(PyObject* name) {
  return Ref::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), name));
}

}  // namespace

Ref import_module(PyObject* globals, PyObject* name) noexcept {
  Ref existing = module_entry(name);
  if (!existing && PyErr_Occurred()) return frame::failed;
  // A None entry blocks the import; the import machinery reports it.
  if (existing && existing.get() != Py_None && !still_initializing(existing.get())) {
    return existing;
  }
  return import_level0(globals, name, nullptr);
}

bool bind_import_module(PyObject* globals, PyObject* name) noexcept {
  Ref module = import_module(globals, name);
  return module && PyDict_SetItem(globals, name, module.get()) == 0;
}

bool bind_import_name(PyObject* globals, PyObject* module_name, PyObject* name) noexcept {
  Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
  Ref module = fromlist ? import_level0(globals, module_name, fromlist.get()) : Ref();
  if (!module) return false;
  Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    Ref own_name = Ref::steal(PyObject_GetAttrString(module.get(), "__name__"));
    Ref full = own_name ? Ref::steal(PyUnicode_FromFormat("%S.%S", own_name.get(), name)) : Ref();
    if (full) value = module_entry(full.get());
    if (!value) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
      return false;
    }
  }
  return PyDict_SetItem(globals, name, value.get()) == 0;
}

}  // namespace startup
