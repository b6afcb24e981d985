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
  return frame::build_class(info, spec, line);
}

const frame::ImportStep imports[] = {
    {&k.json, nullptr, 1},
    {&k.time, &k.sleep, 2},
    {&k.typing, &k.Any, 3},
    {&k.redis, nullptr, 5},
    {&k.address_module, &k.Address, 6},
    {&k.errors_module, &k.TarvexConnectionError, 8},
    {&k.base_module, &k.LockBase, 9},
};

const frame::ModuleRecipe recipe{
    &state,      &info,       make_constants, bind_builtins, code_rows, n_code_rows,
    ready_scope_type, imports, 7,            build_quorvane, &k.test};

}  // namespace
}  // namespace quorvane

PyMODINIT_FUNC PyInit_quorvane(void) { return frame::init_module("quorvane", quorvane::recipe); }
