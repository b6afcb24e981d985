// Start-up of the in-process lock module: its recipe.
#include "sellavar.hpp"
#include "startup.hpp"

namespace sellavar {

constinit State state{
    .frame = {.short_name = "sellavar",
              .full_name = "tarvex_data.lock.implementations.sellavar",
              .source_path = "src\\tarvex_data\\lock\\implementations\\sellavar.py"},
    .k = {},
    .thread_lock_type = nullptr};

namespace {

void forget() noexcept {
  state.frame.forget();
  state.k = {};
  state.thread_lock_type = nullptr;
}

const startup::BuiltinName builtins[] = {
    {&k.property_type, &k.property},
    {&k.round_fn, &k.round},
};

const startup::ImportStep imports[] = {
    {&k.threading, &k.Lock, 1},
    {&k.time, &k.time, 2},
    {&k.typing, &k.Any, 3},
    {&k.address_module, &k.Address, 5},
    {&k.record_module, &k.LockObject, 7},
    {&k.base_module, &k.LockBase, 8},
};

const startup::ModuleRecipe recipe{
    .state = &state.frame,
    .forget = forget,
    .make_constants = make_constants,
    .builtins = builtins,
    .n_builtins = 2,
    .code_rows = class_rows,
    .n_code_rows = n_class_rows,
    .ready_private_types = nullptr,
    .imports = imports,
    .n_imports = 6,
    // the class body stores no `__annotations__`, and no member is static
    .class_spec = {.name = &k.Sellavar,
                   .doc = &k.class_doc,
                   .base_name = &k.LockBase,
                   .annotations = nullptr,
                   .n_annotations = 0,
                   .members = class_rows,
                   .n_members = n_class_rows,
                   .line = line::class_statement,
                   .property_type = &k.property_type,
                   .staticmethod_type = nullptr},
    .test_name = &k.test,
};

}  // namespace
}  // namespace sellavar

PyMODINIT_FUNC PyInit_sellavar(void) { return startup::init_module("sellavar", sellavar::recipe); }
