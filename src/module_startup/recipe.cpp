// The exec slot as a fixed order of steps over a module's recipe, and the module definition.
#include "startup.hpp"
#include "statements.hpp"

namespace startup {
namespace {

// Each exec looks the builtins up anew, as the module body would, releasing what an earlier
// failed attempt stored.
bool bind_builtins(const ModuleRecipe& r) {
  for (int i = 0; i < r.n_builtins; ++i) {
    Ref value = frame::lookup_name(r.state->builtins, nullptr, *r.builtins[i].name);
    if (!value) return false;
    Py_XSETREF(*r.builtins[i].slot, value.release());
  }
  return true;
}

int run_exec(const ModuleRecipe& r, PyObject* module) noexcept {
  frame::ModuleState& state = *r.state;
  int begun = begin_exec(state, module);
  if (begun != 0) return begun > 0 ? 0 : -1;
  Ref globals = Ref::borrow(PyModule_GetDict(module));
  if (!r.make_constants()) return fail_exec(state, globals.get(), 0);
  if (!register_full_name(state, module) || !bind_builtins(r) ||
      !frame::prepare_rows(state, r.code_rows, r.n_code_rows) ||
      (r.ready_private_types != nullptr && !r.ready_private_types())) {
    return fail_exec(state, globals.get(), 1);
  }
  for (int i = 0; i < r.n_imports; ++i) {
    const ImportStep& step = r.imports[i];
    bool ok = step.name == nullptr ? bind_import_module(globals.get(), *step.module)
                                   : bind_import_name(globals.get(), *step.module, *step.name);
    if (!ok) return fail_exec(state, globals.get(), step.line);
  }
  int line = 0;
  if (!build_class(state, globals.get(), r.class_spec, &line)) {
    return fail_exec(state, globals.get(), line);
  }
  Ref test = Ref::steal(PyDict_New());
  if (!test || PyDict_SetItem(globals.get(), *r.test_name, test.get()) < 0) {
    return fail_exec(state, globals.get(), 1);
  }
  state.executing = false;
  return 0;
}

const ModuleRecipe* module_recipe = nullptr;

void interpreter_finalized() { module_recipe->forget(); }

PyObject* create_slot(PyObject* spec, PyModuleDef*) {
  return create_module(*module_recipe->state, spec, interpreter_finalized);
}

int exec_slot(PyObject* module) { return run_exec(*module_recipe, module); }

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_slot)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, no_functions, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* init_module(const char* name, const ModuleRecipe& recipe) noexcept {
  module_recipe = &recipe;
  definition.m_name = name;
  return PyModuleDef_Init(&definition);
}

}  // namespace startup
