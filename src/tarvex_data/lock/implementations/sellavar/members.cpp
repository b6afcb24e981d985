// The members of Sellavar, as data: start-up turns each row into a function object.
#include "sellavar.hpp"

namespace sellavar {
namespace {

using frame::Check;
using frame::Default;
using frame::FunctionRow;
using frame::Kind;
using frame::Param;
using frame::Wrap;

constexpr Param self_only[] = {{"self"}};
constexpr Param connect_params[] = {
    {"self"}, {"args", "Any", Kind::star_args}, {"kwargs", "Any", Kind::star_kwargs}};
constexpr Param acquire_params[] = {
    {"self"},
    {"target_address", "Address"},
    {"timeout_ms", "int", Kind::keyword_only, Check::exact_int, Default::record, &k.no_timeout},
    {"blocking", "bool", Kind::keyword_only, Check::none, Default::true_},
    {"metadata", "dict[str, Any] | None", Kind::keyword_only, Check::none, Default::none},
};
constexpr Param release_params[] = {{"self"}, {"target_address", "Address"}};

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

const FunctionRow connect_row{.name = "connect",
                              .qualname = "Sellavar.connect",
                              .line = line::Connect::def,
                              .params = connect_params,
                              .returns = "None",
                              .body = do_nothing};
const FunctionRow disconnect_row{.name = "disconnect",
                                 .qualname = "Sellavar.disconnect",
                                 .line = line::Disconnect::def,
                                 .params = self_only,
                                 .returns = "None",
                                 .body = do_nothing};
const FunctionRow is_connected_row{.name = "is_connected",
                                   .qualname = "Sellavar.is_connected",
                                   .line = line::IsConnected::def,
                                   .params = self_only,
                                   .returns = "bool",
                                   .body = always_true,
                                   .wrap = Wrap::property};
const FunctionRow is_alive_row{.name = "is_alive",
                               .qualname = "Sellavar.is_alive",
                               .line = line::IsAlive::def,
                               .params = self_only,
                               .returns = "bool",
                               .body = always_true,
                               .wrap = Wrap::property};
const FunctionRow init_row{.name = "__init__",
                           .qualname = "Sellavar.__init__",
                           .line = line::Init::def,
                           .params = self_only,
                           .returns = "None",
                           .body = init};
const FunctionRow acquire_row{.name = "acquire",
                              .qualname = "Sellavar.acquire",
                              .line = line::Acquire::def,
                              .params = acquire_params,
                              .returns = "bool",
                              .locals = lock_local,
                              .doc = acquire_doc,
                              .body = acquire};
const FunctionRow release_row{.name = "release",
                              .qualname = "Sellavar.release",
                              .line = line::Release::def,
                              .params = release_params,
                              .returns = "None",
                              .locals = lock_local,
                              .doc = release_doc,
                              .body = release};

}  // namespace

const FunctionRow* const class_rows[] = {&connect_row, &disconnect_row, &is_connected_row,
                                         &is_alive_row, &init_row, &acquire_row, &release_row};
const int n_class_rows = 7;

}  // namespace sellavar
