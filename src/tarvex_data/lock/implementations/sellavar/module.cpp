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

PyObject* create(PyObject* spec, PyModuleDef*) { return frame::create_module(state, spec); }

bool bind_builtins() {
  return (k.property_type = frame::builtin(info, k.property)) &&
         (k.round_fn = frame::builtin(info, k.round));
}

// The class body stores no `__annotations__`.
bool build_sellavar(int* line) {
  frame::ClassSpec spec{k.Sellavar, k.class_doc, k.LockBase, nullptr, class_rows, n_class_rows,
                        11, k.property_type, nullptr};
  Ref cls = Ref::steal(frame::build_class(info, spec, line));
  return cls && PyDict_SetItem(info.globals, k.Sellavar, cls.get()) == 0;
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

int exec(PyObject* module) { return frame::run_exec(recipe, module); }

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "sellavar", nullptr, 0, no_functions, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace sellavar

PyMODINIT_FUNC PyInit_sellavar(void) { return PyModuleDef_Init(&sellavar::definition); }
