// The members of Sellavar, as data: start-up turns each row into a function object.
#include "sellavar.hpp"

namespace sellavar {
namespace {

using frame::Check;
using frame::Default;
using frame::FunctionRow;
using frame::Param;
using frame::Wrap;

Param self_only[] = {{"self", nullptr}};
Param connect_params[] = {{"self", nullptr}, {"args", "Any"}, {"kwargs", "Any"}};
Param acquire_params[] = {
    {"self", nullptr},
    {"target_address", "Address"},
    {"timeout_ms", "int", Check::exact_int, Default::record, &k.no_timeout},
    {"blocking", "bool", Check::none, Default::true_},
    {"metadata", "dict[str, Any] | None", Check::none, Default::none},
};
Param release_params[] = {{"self", nullptr}, {"target_address", "Address"}};

const char* const lock_local[] = {"lock", nullptr};

const char* const acquire_doc[] = {
    "Acquires the lock for a specific target (resource) with optional timeout, blocking, and "
    "metadata parameters.",
    "",
    "Args:",
    "target_address (Address): The target address to acquire the lock for.",
    "timeout_ms (int, optional): The timeout in milliseconds. Defaults to -1 (no timeout).",
    "blocking (bool, optional): Whether to block until the lock is acquired. Defaults to True.",
    "metadata (dict[str, Any] | None, optional): The metadata to store with the lock. Defaults "
    "to None.",
    "",
    "Returns:",
    "bool: True if the lock was acquired, False otherwise.",
    nullptr};
const char* const release_doc[] = {
    "Releases the lock for a specific target (resource).",
    "",
    "Args:",
    "target_address (Address): The target address to release the lock for.",
    "",
    "Raises:",
    "RuntimeError: If the lock is not acquired.",
    "",
    "Returns:",
    "None",
    nullptr};

//                name, qualname, trace name, line, params, positional, kw-only, *args, **kwargs,
//                return annotation, other locals, docstring, body, wrapping
const FunctionRow connect_row{
    "connect", "Sellavar.connect", nullptr, 16, connect_params, 1, 0, true, true,
    "None", nullptr, nullptr, do_nothing};
const FunctionRow disconnect_row{
    "disconnect", "Sellavar.disconnect", nullptr, 18, self_only, 1, 0, false, false,
    "None", nullptr, nullptr, do_nothing};
const FunctionRow is_connected_row{
    "is_connected", "Sellavar.is_connected", nullptr, 20, self_only, 1, 0, false, false,
    "bool", nullptr, nullptr, always_true, Wrap::property};
const FunctionRow is_alive_row{
    "is_alive", "Sellavar.is_alive", nullptr, 24, self_only, 1, 0, false, false,
    "bool", nullptr, nullptr, always_true, Wrap::property};
const FunctionRow init_row{
    "__init__", "Sellavar.__init__", nullptr, 28, self_only, 1, 0, false, false,
    "None", nullptr, nullptr, init};
const FunctionRow acquire_row{
    "acquire", "Sellavar.acquire", nullptr, 32, acquire_params, 2, 3, false, false,
    "bool", lock_local, acquire_doc, acquire};
const FunctionRow release_row{
    "release", "Sellavar.release", nullptr, 67, release_params, 2, 0, false, false,
    "None", lock_local, release_doc, release};

}  // namespace

const FunctionRow* const class_rows[] = {&connect_row, &disconnect_row, &is_connected_row,
                                         &is_alive_row, &init_row, &acquire_row, &release_row};
const int n_class_rows = 7;

}  // namespace sellavar
