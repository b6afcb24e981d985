// Start-up procedures that both lock modules run in their create and exec slots.
#pragma once
#include <Python.h>

#include <initializer_list>

#include "function.hpp"
#include "module_info.hpp"
#include "ref.hpp"

namespace frame {

// One per module and process: a module object exists once, in one interpreter.
struct ProcessState {
  long long interpreter_id = -1;
  PyObject* module = nullptr;
};

// Create slot: interpreter guard, then the existing module or a new one filled from the
// import system's module spec.
PyObject* create_module(ProcessState& state, PyObject* spec) noexcept;

// Exec steps up to the version check: re-initialisation guard, remembering the module,
// `__builtins__`, version check. Returns 1 when exec has nothing left to do, 0 to go on,
// -1 on failure (the module object already released).
int begin_exec(ProcessState& state, ModuleInfo& info, PyObject* module) noexcept;

// The failure path of exec: adds the "init ..." entry when `line` > 0, releases the module
// object and returns -1.
int fail_exec(ProcessState& state, ModuleInfo& info, int line) noexcept;

// Adds the module to sys.modules under its full dotted name unless that name is taken.
bool register_full_name(ModuleInfo& info, PyObject* module) noexcept;

// A name of the builtins module, or NameError.
PyObject* builtin(ModuleInfo& info, PyObject* name) noexcept;  // new reference

// `import name`: a module in sys.modules that is not still initialising is used directly.
Ref import_module(ModuleInfo& info, PyObject* name) noexcept;

// `import name` and `from module import name`, each bound in the module namespace.
bool bind_import_module(ModuleInfo& info, PyObject* name) noexcept;
bool bind_import_name(ModuleInfo& info, PyObject* module_name, PyObject* name) noexcept;

// The module's constant strings, made once per process.
struct StringConstant {
  PyObject** slot;
  const char* text;
  bool interned;  // identifiers are interned, message texts are plain
};
bool make_strings(const StringConstant* table, int n) noexcept;

// A tuple of interned names, such as the keyword names of a call the module makes.
PyObject* names_tuple(std::initializer_list<const char*> names) noexcept;

// Readies a private type with the cyclic collector held off meanwhile.
bool ready_type_without_gc(PyTypeObject* type) noexcept;

struct ClassSpec {
  PyObject* name;
  PyObject* doc;
  PyObject* base_name;                 // looked up in the namespace, then builtins
  PyObject* annotations;               // stored as `__annotations__` when not null
  const FunctionRow* const* members;   // in class body order
  int n_members;
  int line;                            // line of the class statement
  PyObject* property_type;
  PyObject* staticmethod_type;
};

// Builds the class as a class statement does and binds it in the module namespace; on failure
// `*fail_line` is the line of the failing step (a member's own line while it is made).
bool build_class(ModuleInfo& info, const ClassSpec& spec, int* fail_line) noexcept;

}  // namespace frame

namespace frame {

// One import of the module body: `import module` (name null) or `from module import name`.
struct ImportStep {
  PyObject* const* module;
  PyObject* const* name;
  int line;
};

// What differs between the modules' exec slots; the order of the steps is shared.
struct ModuleRecipe {
  ProcessState* state;
  ModuleInfo* info;
  bool (*make_constants)();     // numbers and strings, once per process
  bool (*bind_builtins)();      // builtins looked up once
  const FunctionRow* const* code_rows;
  int n_code_rows;
  bool (*ready_private_types)();  // may be null
  const ImportStep* imports;
  int n_imports;
  bool (*build_class)(int* line);
  PyObject* const* test_name;   // `__test__`
};

int run_exec(const ModuleRecipe& recipe, PyObject* module) noexcept;

// The body of PyInit_<name>: a definition with no functions, no state, and the create and exec
// slots of `recipe`. Each module links its own copy of this frame, so one recipe per copy.
PyObject* init_module(const char* name, const ModuleRecipe& recipe) noexcept;

}  // namespace frame
