// Start-up of the in-process lock module.
#include "ref.hpp"
#include "sellavar.hpp"
#include "startup.hpp"

namespace sellavar {

frame::ModuleInfo info{"sellavar", "tarvex_data.lock.implementations.sellavar",
                       "src\\tarvex_data\\lock\\implementations\\sellavar.py"};

namespace {

using frame::Ref;

frame::ProcessState state;

bool bind_builtins() {
  return (k.property_type = frame::builtin(info, k.property)) &&
         (k.round_fn = frame::builtin(info, k.round));
}

// The class body stores no `__annotations__`.
bool build_sellavar(int* line) {
  frame::ClassSpec spec{k.Sellavar, k.class_doc, k.LockBase, nullptr, class_rows, n_class_rows,
                        11, k.property_type, nullptr};
  return frame::build_class(info, spec, line);
}

const frame::ImportStep imports[] = {
    {&k.threading, &k.Lock, 1},
    {&k.time, &k.time, 2},
    {&k.typing, &k.Any, 3},
    {&k.address_module, &k.Address, 5},
    {&k.record_module, &k.LockObject, 7},
    {&k.base_module, &k.LockBase, 8},
};

const frame::ModuleRecipe recipe{
    &state,  &info,   make_constants, bind_builtins,  class_rows, n_class_rows,
    nullptr, imports, 6,              build_sellavar, &k.test};

}  // namespace
}  // namespace sellavar

PyMODINIT_FUNC PyInit_sellavar(void) { return frame::init_module("sellavar", sellavar::recipe); }
