#include "module_state.hpp"

namespace frame {

bool ModuleState::make_names() noexcept {
  return (full_name_str || (full_name_str = PyUnicode_InternFromString(full_name))) &&
         (source_path_str || (source_path_str = PyUnicode_FromString(source_path))) &&
         (defaults_trace ||
          (defaults_trace = PyUnicode_FromFormat("%s.__defaults__", full_name))) &&
         (init_trace || (init_trace = PyUnicode_FromFormat("init %s", full_name)));
}

RowObjects& ModuleState::objects_of(const FunctionRow& row) noexcept {
  int i = 0;
  while (i < n_rows - 1 && rows[i].row != &row) ++i;
  return rows[i];
}

void ModuleState::forget() noexcept {
  interpreter_finalized = true;
  module = nullptr;
  executing = false;
  full_name_str = source_path_str = defaults_trace = init_trace = builtins = nullptr;
  for (RowObjects& objects : rows) objects = {};
  for (EntryCode& code : entry_codes) code = {};
  n_rows = n_entry_codes = 0;
}

}  // namespace frame
