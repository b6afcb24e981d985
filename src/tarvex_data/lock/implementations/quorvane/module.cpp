// Start-up of the Redis-backed lock module: its recipe.
#include "quorvane.hpp"
#include "startup.hpp"

namespace quorvane {

constinit State state{
    .frame = {.short_name = "quorvane",
              .full_name = "tarvex_data.lock.implementations.quorvane",
              .source_path = "src\\tarvex_data\\lock\\implementations\\quorvane.py"},
    .k = {},
    .scope_type = frame::unready_static_type()};

namespace {

void forget() noexcept {
  state.frame.forget();
  state.k = {};  // the scope type stays: it is static
}

const startup::BuiltinName builtins[] = {
    {&k.property_type, &k.property},
    {&k.staticmethod_type, &k.staticmethod},
    {&k.import_error, &k.ImportError},
};

const startup::ImportStep imports[] = {
    {&k.json, nullptr, 1},
    {&k.time, &k.sleep, 2},
    {&k.typing, &k.Any, 3},
    {&k.redis, nullptr, 5},
    {&k.address_module, &k.Address, 6},
    {&k.errors_module, &k.TarvexConnectionError, 8},
    {&k.base_module, &k.LockBase, 9},
};

const startup::ClassAnnotation annotations[] = {{&k.client, &k.redis_annotation}};

const startup::ModuleRecipe recipe{
    .state = &state.frame,
    .forget = forget,
    .make_constants = make_constants,
    .builtins = builtins,
    .n_builtins = 3,
    .code_rows = code_rows,
    .n_code_rows = n_code_rows,
    .ready_private_types = make_scope_type,
    .imports = imports,
    .n_imports = 7,
    .class_spec = {.name = &k.Quorvane,
                   .doc = &k.class_doc,
                   .base_name = &k.LockBase,
                   .annotations = annotations,
                   .n_annotations = 1,
                   .members = class_rows,
                   .n_members = n_class_rows,
                   .line = line::class_statement,
                   .property_type = &k.property_type,
                   .staticmethod_type = &k.staticmethod_type},
    .test_name = &k.test,
};

}  // namespace
}  // namespace quorvane

PyMODINIT_FUNC PyInit_quorvane(void) { return startup::init_module("quorvane", quorvane::recipe); }
