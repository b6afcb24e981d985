// The members of Quorvane, as data: start-up turns each row into a function object.
#include "quorvane.hpp"

namespace quorvane {
namespace {

using frame::Check;
using frame::Default;
using frame::Entry;
using frame::FunctionRow;
using frame::Param;
using frame::Wrap;

Param self_only[] = {{"self", nullptr}};

// `connect` takes these after `self`; `_get_redis_client` takes them without it.
Param connect_params[] = {
    {"self", nullptr},
    {"host", "str", Check::exact_str},
    {"port", "int", Check::exact_int, Default::record, &k.default_port},
    {"username", "str | None", Check::none, Default::none},
    {"password", "str | None", Check::none, Default::none},
    {"ssl", "bool", Check::none, Default::false_},
    {"ssl_certfile", "str | None", Check::none, Default::none},
    {"ssl_keyfile", "str | None", Check::none, Default::none},
    {"ssl_ca_certs", "str | None", Check::none, Default::none},
};

Param acquire_params[] = {
    {"self", nullptr},
    {"target_address", "Address"},
    {"timeout_ms", "int", Check::exact_int, Default::record, &k.no_timeout},
    {"blocking", "bool", Check::none, Default::true_},
    {"metadata", "dict[str, Any] | None", Check::none, Default::none},
};

Param release_params[] = {{"self", nullptr}, {"target_address", "Address"}};

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

//                name, qualname, trace name, line, params, positional, kw-only, *args, **kwargs,
//                return annotation, other locals, docstring, body, wrapping, entry, static
const FunctionRow is_connected_row{
    "is_connected", "Quorvane.is_connected", nullptr, 22, self_only, 1, 0, false, false,
    "bool", nullptr, is_connected_doc, is_connected, Wrap::property};
const FunctionRow is_alive_row{
    "is_alive", "Quorvane.is_alive", nullptr, 32, self_only, 1, 0, false, false,
    "bool", nullptr, is_alive_doc, is_alive, Wrap::property};
const FunctionRow connect_row{
    "connect", "Quorvane.connect", nullptr, 50, connect_params, 2, 7, false, false,
    "None", nullptr, connect_doc, connect};
const FunctionRow disconnect_row{
    "disconnect", "Quorvane.disconnect", nullptr, 89, self_only, 1, 0, false, false,
    "None", nullptr, disconnect_doc, disconnect};
const FunctionRow acquire_row{
    "acquire", "Quorvane.acquire", nullptr, 98, acquire_params, 2, 3, false, false,
    "bool", acquire_locals, acquire_doc, acquire};
const FunctionRow release_row{
    "release", "Quorvane.release", nullptr, 146, release_params, 2, 0, false, false,
    "None", release_locals, release_doc, release};
const FunctionRow get_redis_client_row{
    "_get_redis_client", "Quorvane._get_redis_client", nullptr, 162, connect_params + 1, 1, 7,
    false, false, "Any", client_locals, nullptr, get_redis_client, Wrap::staticmethod,
    Entry::fast, true};

}  // namespace

const FunctionRow set_command_row{
    "_set_command", "Quorvane.acquire.<locals>._set_command", "Quorvane.acquire._set_command",
    122, nullptr, 0, 0, false, false, "bool", set_command_locals, nullptr, set_command,
    Wrap::plain, Entry::noargs};

const FunctionRow* const code_rows[] = {&set_command_row, &is_connected_row, &is_alive_row,
                                        &connect_row, &disconnect_row, &acquire_row,
                                        &release_row, &get_redis_client_row};
const int n_code_rows = 8;

const FunctionRow* const class_rows[] = {&is_connected_row, &is_alive_row, &connect_row,
                                         &disconnect_row, &acquire_row, &release_row,
                                         &get_redis_client_row};
const int n_class_rows = 7;

}  // namespace quorvane
