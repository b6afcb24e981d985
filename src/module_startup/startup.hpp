// Start-up procedures that both lock modules run in their create and exec slots, driven by a
// recipe of data that each module fills in.
#pragma once
#include <Python.h>

#include <initializer_list>

#include "function.hpp"
#include "module_state.hpp"
#include "ref.hpp"

namespace startup {

using frame::Failed;
using frame::Ref;

// The module's constant strings; what is made already stays.
struct StringConstant {
  PyObject** slot;
  const char* text;
  bool interned;  // identifiers are interned, message texts are plain
};
bool make_strings(const StringConstant* table, int n) noexcept;

// A tuple of interned names, such as the keyword names of a call the module makes.
PyObject* names_tuple(std::initializer_list<const char*> names) noexcept;

// Readies a private static type with the cyclic collector held off meanwhile.
[[nodiscard]] bool ready_type_without_gc(PyTypeObject* type) noexcept;

// A builtin that exec looks up, into the slot the bodies read.
struct BuiltinName {
  PyObject** slot;
  PyObject* const* name;
};

// One import of the module body: `import module` (name null) or `from module import name`.
struct ImportStep {
  PyObject* const* module;
  PyObject* const* name;
  int line;
};

struct ClassAnnotation {
  PyObject* const* name;
  PyObject* const* text;
};

// The class statement of the module body; constants are reached through their slots, which
// exec fills before it builds the class.
struct ClassSpec {
  PyObject* const* name;
  PyObject* const* doc;
  PyObject* const* base_name;            // looked up in the namespace, then builtins
  const ClassAnnotation* annotations;    // stored as `__annotations__` unless null
  int n_annotations;
  const frame::FunctionRow* const* members;  // in class body order
  int n_members;
  int line;                              // line of the class statement
  PyObject* const* property_type;
  PyObject* const* staticmethod_type;    // null when no member is static
};

// What differs between the modules' exec slots; the order of the steps is shared.
struct ModuleRecipe {
  frame::ModuleState* state;             // the frame's part of the module's state
  void (*forget)() noexcept;             // the whole state's forget, once the interpreter is gone
  bool (*make_constants)() noexcept;     // numbers and strings; what is made already stays
  const BuiltinName* builtins;
  int n_builtins;
  const frame::FunctionRow* const* code_rows;  // code objects are made in this order
  int n_code_rows;
  bool (*ready_private_types)() noexcept;      // may be null
  const ImportStep* imports;
  int n_imports;
  ClassSpec class_spec;
  PyObject* const* test_name;            // `__test__`
};

// The body of PyInit_<name>: a definition with no functions, no state, and the create and exec
// slots of `recipe`. Each module links its own copy of this library, so one recipe per copy.
PyObject* init_module(const char* name, const ModuleRecipe& recipe) noexcept;

// --- the steps, for the recipe runner ---

// Create slot: interpreter guard, then the existing module (refused while its exec runs) or a
// new one filled from the import system's module spec. `at_finalize` is registered to run when
// the interpreter that the guard records is finalized, and must forget the module's state.
PyObject* create_module(frame::ModuleState& state, PyObject* spec,
                        void (*at_finalize)()) noexcept;

// Exec steps up to the version check: re-initialisation guard, remembering the module,
// `__builtins__`, version check, the module's names. Returns 1 when exec has nothing left to
// do, 0 to go on, -1 on failure (the module object already released).
int begin_exec(frame::ModuleState& state, PyObject* module) noexcept;

// The failure path of exec: adds the "init ..." entry when `line` > 0, takes out of
// sys.modules every entry that still names the module, releases it and returns -1.
int fail_exec(frame::ModuleState& state, PyObject* globals, int line) noexcept;

// Adds the module to sys.modules under its full dotted name unless that name is taken.
[[nodiscard]] bool register_full_name(const frame::ModuleState& state, PyObject* module) noexcept;

// `import name`: a module in sys.modules that is not still initialising is used directly.
Ref import_module(PyObject* globals, PyObject* name) noexcept;

// `import name` and `from module import name`, each bound in the module namespace.
bool bind_import_module(PyObject* globals, PyObject* name) noexcept;
bool bind_import_name(PyObject* globals, PyObject* module_name, PyObject* name) noexcept;

// Builds the class as a class statement does and binds it in the module namespace; on failure
// `*fail_line` is the line of the failing step (a member's own line while it is made).
[[nodiscard]] bool build_class(frame::ModuleState& state, PyObject* globals,
                               const ClassSpec& spec, int* fail_line) noexcept;

}  // namespace startup
