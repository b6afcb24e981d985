// Start-up of the Redis-backed lock module.
#include "quorvane.hpp"
#include "ref.hpp"
#include "startup.hpp"

namespace quorvane {

frame::ModuleInfo info{"quorvane", "tarvex_data.lock.implementations.quorvane",
                       "src\\tarvex_data\\lock\\implementations\\quorvane.py"};

namespace {

using frame::Ref;

frame::ProcessState state;

PyObject* create(PyObject* spec, PyModuleDef*) { return frame::create_module(state, spec); }

bool bind_builtins() {
  return (k.property_type = frame::builtin(info, k.property)) &&
         (k.staticmethod_type = frame::builtin(info, k.staticmethod)) &&
         (k.import_error = frame::builtin(info, k.ImportError));
}

bool build_quorvane(int* line) {
  Ref annotations = Ref::steal(PyDict_New());
  if (!annotations || PyDict_SetItem(annotations.get(), k.client, k.redis_annotation) < 0) {
    return false;
  }
  frame::ClassSpec spec{k.Quorvane,  k.class_doc,       k.LockBase,
                        annotations.get(), class_rows, n_class_rows,
                        12,          k.property_type, k.staticmethod_type};
  Ref cls = Ref::steal(frame::build_class(info, spec, line));
  return cls && PyDict_SetItem(info.globals, k.Quorvane, cls.get()) == 0;
}

int exec(PyObject* module) {
  int begun = frame::begin_exec(state, info, module);
  if (begun != 0) return begun > 0 ? 0 : -1;
  if (!make_constants()) return frame::fail_exec(state, info, 0);
  if (!frame::register_full_name(info, module) || !bind_builtins() ||
      !frame::ready_function_type() || !frame::prepare_rows(info, code_rows, n_code_rows) ||
      !ready_scope_type()) {
    return frame::fail_exec(state, info, 1);
  }
  if (!frame::bind_import_module(info, k.json)) return frame::fail_exec(state, info, 1);
  if (!frame::bind_import_name(info, k.time, k.sleep)) return frame::fail_exec(state, info, 2);
  if (!frame::bind_import_name(info, k.typing, k.Any)) return frame::fail_exec(state, info, 3);
  if (!frame::bind_import_module(info, k.redis)) return frame::fail_exec(state, info, 5);
  if (!frame::bind_import_name(info, k.address_module, k.Address)) {
    return frame::fail_exec(state, info, 6);
  }
  if (!frame::bind_import_name(info, k.errors_module, k.TarvexConnectionError)) {
    return frame::fail_exec(state, info, 8);
  }
  if (!frame::bind_import_name(info, k.base_module, k.LockBase)) {
    return frame::fail_exec(state, info, 9);
  }
  int line = 12;
  if (!build_quorvane(&line)) return frame::fail_exec(state, info, line);
  Ref test = Ref::steal(PyDict_New());
  if (!test || PyDict_SetItem(info.globals, k.test, test.get()) < 0) {
    return frame::fail_exec(state, info, 1);
  }
  return 0;
}

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "quorvane", nullptr, 0, no_functions, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quorvane

PyMODINIT_FUNC PyInit_quorvane(void) { return PyModuleDef_Init(&quorvane::definition); }
