#include "quorvane.hpp"
#include "ref.hpp"
#include "startup.hpp"

namespace quorvane {

bool make_constants() noexcept {
  const startup::StringConstant strings[] = {
      {&k.json, "json", true},
      {&k.time, "time", true},
      {&k.sleep, "sleep", true},
      {&k.typing, "typing", true},
      {&k.Any, "Any", true},
      {&k.redis, "redis", true},
      {&k.address_module, "tarvex_utils.models.data_models.address", true},
      {&k.Address, "Address", true},
      {&k.errors_module, "tarvex_data.errors", true},
      {&k.TarvexConnectionError, "TarvexConnectionError", true},
      {&k.base_module, "tarvex_data.lock.base", true},
      {&k.LockBase, "LockBase", true},
      {&k.Quorvane, "Quorvane", true},
      {&k.test, "__test__", true},
      {&k.client, "client", true},
      {&k.get_redis_client, "_get_redis_client", true},
      {&k.set, "set", true},
      {&k.del, "delete", true},
      {&k.to_string, "to_string", true},
      {&k.dumps, "dumps", true},
      {&k.ping, "ping", true},
      {&k.close, "close", true},
      {&k.Redis, "Redis", true},
      {&k.exceptions, "exceptions", true},
      {&k.ConnectionError, "ConnectionError", true},
      {&k.property, "property", true},
      {&k.staticmethod, "staticmethod", true},
      {&k.ImportError, "ImportError", true},
      {&k.not_connected, "Quorvane is not connected. Call connect() before using this method.",
       false},
      {&k.requires_redis,
       "Quorvane requires the redis package. Use pip \"install tarvex_data[quorvane]\"", false},
      {&k.class_doc,
       "\n    Represents a Redis-based lock mechanism.\n\n    Attributes:\n"
       "        client (redis.Redis): The Redis client used for lock operations.\n    ",
       false},
      {&k.empty, "", false},
      {&k.redis_annotation, "redis.Redis", false},
  };
  if (!startup::make_strings(strings, static_cast<int>(sizeof strings / sizeof strings[0]))) {
    return false;
  }
  return (k.kw_nx || (k.kw_nx = startup::names_tuple({"nx"}))) &&
         (k.kw_client_options ||
          (k.kw_client_options = startup::names_tuple({"port", "username", "password", "ssl",
                                                       "ssl_certfile", "ssl_keyfile",
                                                       "ssl_ca_certs"}))) &&
         (k.kw_redis_options ||
          (k.kw_redis_options = startup::names_tuple({"host", "port", "username", "password",
                                                      "ssl", "ssl_certfile", "ssl_keyfile",
                                                      "ssl_ca_certs"}))) &&
         (k.pause || (k.pause = PyFloat_FromDouble(0.1))) &&
         (k.per_second || (k.per_second = PyFloat_FromDouble(1000.0))) &&
         (k.zero || (k.zero = PyLong_FromLong(0))) &&
         (k.default_port || (k.default_port = PyLong_FromLong(6379))) &&
         (k.no_timeout || (k.no_timeout = PyLong_FromLong(-1)));
}

}  // namespace quorvane
