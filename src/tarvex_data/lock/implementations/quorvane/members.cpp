// The members of Quorvane, as data: start-up turns each row into a function object.
#include "quorvane.hpp"

namespace quorvane {
namespace {

using frame::Check;
using frame::Default;
using frame::Entry;
using frame::FunctionRow;
using frame::Kind;
using frame::Param;
using frame::Wrap;

constexpr Param self_only[] = {{"self"}};

// `_get_redis_client` takes the same, without `self`.
constexpr Param connect_params[] = {
    {"self"},
    {"host", "str", Kind::positional, Check::exact_str},
    {"port", "int", Kind::keyword_only, Check::exact_int, Default::record, &k.default_port},
    {"username", "str | None", Kind::keyword_only, Check::none, Default::none},
    {"password", "str | None", Kind::keyword_only, Check::none, Default::none},
    {"ssl", "bool", Kind::keyword_only, Check::none, Default::false_},
    {"ssl_certfile", "str | None", Kind::keyword_only, Check::none, Default::none},
    {"ssl_keyfile", "str | None", Kind::keyword_only, Check::none, Default::none},
    {"ssl_ca_certs", "str | None", Kind::keyword_only, Check::none, Default::none},
};

constexpr Param acquire_params[] = {
    {"self"},
    {"target_address", "Address"},
    {"timeout_ms", "int", Kind::keyword_only, Check::exact_int, Default::record, &k.no_timeout},
    {"blocking", "bool", Kind::keyword_only, Check::none, Default::true_},
    {"metadata", "dict[str, Any] | None", Kind::keyword_only, Check::none, Default::none},
};

constexpr Param release_params[] = {{"self"}, {"target_address", "Address"}};

const char* const set_command_locals[] = {"res", nullptr};
const char* const acquire_locals[] = {"msg", "_set_command", "_set_command", "_timing",
                                      "_timeout_seconds", "_result", nullptr};
const char* const release_locals[] = {"msg", nullptr};
const char* const client_locals[] = {"redis", "exc", "msg", nullptr};

const char* const is_connected_doc[] = {
    "Checks if the Redis client is connected.", "", "Returns:",
    "bool: True if the Redis client is connected, False otherwise.", nullptr};
const char* const is_alive_doc[] = {
    "Checks if the Redis client is alive by sending a ping command.", "", "Returns:",
    "bool: True if the Redis client is alive and responds to the ping, False otherwise.",
    nullptr};
const char* const connect_doc[] = {
    "Connects to the Redis server with the specified parameters.",
    "",
    "Args:",
    "host (str): The hostname of the Redis server.",
    "port (int, optional): The port number of the Redis server. Defaults to 6379.",
    "username (str | None, optional): The username for Redis authentication. Defaults to None.",
    "password (str | None, optional): The password for Redis authentication. Defaults to None.",
    "ssl (bool, optional): Whether to use SSL for the connection. Defaults to False.",
    "ssl_certfile (str | None, optional): The path to the SSL certificate file. Defaults to "
    "None.",
    "ssl_keyfile (str | None, optional): The path to the SSL key file. Defaults to None.",
    "ssl_ca_certs (str | None, optional): The path to the SSL CA certificates file. Defaults to "
    "None.",
    "",
    "Returns:",
    "None",
    nullptr};
const char* const disconnect_doc[] = {"Disconnects the Redis client.", "", "Returns:", "None",
                                      nullptr};
const char* const acquire_doc[] = {
    "Acquires a lock for the given target address.",
    "",
    "Args:",
    "target_address (Address): The address to lock.",
    "timeout_ms (int, optional): The timeout in milliseconds to wait for the lock. Defaults to -1 "
    "(no timeout).",
    "blocking (bool, optional): Whether to block until the lock is acquired. Defaults to True.",
    "metadata (dict[str, Any] | None, optional): Additional metadata to associate with the lock. "
    "Defaults to None",
    "",
    "Returns:",
    "bool: True if the lock was acquired, False otherwise.",
    nullptr};
const char* const release_doc[] = {"Releases the lock for the given target address.", "",
                                   "Args:", "target_address (Address): The address to unlock.",
                                   "", "Returns:", "None", nullptr};

const FunctionRow is_connected_row{.name = "is_connected",
                                   .qualname = "Quorvane.is_connected",
                                   .line = line::IsConnected::def,
                                   .params = self_only,
                                   .returns = "bool",
                                   .doc = is_connected_doc,
                                   .body = is_connected,
                                   .wrap = Wrap::property};
const FunctionRow is_alive_row{.name = "is_alive",
                               .qualname = "Quorvane.is_alive",
                               .line = line::IsAlive::def,
                               .params = self_only,
                               .returns = "bool",
                               .doc = is_alive_doc,
                               .body = is_alive,
                               .wrap = Wrap::property};
const FunctionRow connect_row{.name = "connect",
                              .qualname = "Quorvane.connect",
                              .line = line::Connect::def,
                              .params = connect_params,
                              .returns = "None",
                              .doc = connect_doc,
                              .body = connect};
const FunctionRow disconnect_row{.name = "disconnect",
                                 .qualname = "Quorvane.disconnect",
                                 .line = line::Disconnect::def,
                                 .params = self_only,
                                 .returns = "None",
                                 .doc = disconnect_doc,
                                 .body = disconnect};
const FunctionRow acquire_row{.name = "acquire",
                              .qualname = "Quorvane.acquire",
                              .line = line::Acquire::def,
                              .params = acquire_params,
                              .returns = "bool",
                              .locals = acquire_locals,
                              .doc = acquire_doc,
                              .body = acquire};
const FunctionRow release_row{.name = "release",
                              .qualname = "Quorvane.release",
                              .line = line::Release::def,
                              .params = release_params,
                              .returns = "None",
                              .locals = release_locals,
                              .doc = release_doc,
                              .body = release};
const FunctionRow get_redis_client_row{.name = "_get_redis_client",
                                       .qualname = "Quorvane._get_redis_client",
                                       .line = line::GetRedisClient::def,
                                       .params = frame::ParamList(connect_params).without_self(),
                                       .returns = "Any",
                                       .locals = client_locals,
                                       .body = get_redis_client,
                                       .wrap = Wrap::staticmethod};

}  // namespace

const FunctionRow set_command_row{.name = "_set_command",
                                  .qualname = "Quorvane.acquire.<locals>._set_command",
                                  .line = line::SetCommand::def,
                                  .returns = "bool",
                                  .locals = set_command_locals,
                                  .body = set_command,
                                  .entry = Entry::noargs,
                                  .trace_name = "Quorvane.acquire._set_command"};

const FunctionRow* const code_rows[] = {&set_command_row, &is_connected_row, &is_alive_row,
                                        &connect_row, &disconnect_row, &acquire_row,
                                        &release_row, &get_redis_client_row};
const int n_code_rows = 8;

const FunctionRow* const class_rows[] = {&is_connected_row, &is_alive_row, &connect_row,
                                         &disconnect_row, &acquire_row, &release_row,
                                         &get_redis_client_row};
const int n_class_rows = 7;

}  // namespace quorvane
