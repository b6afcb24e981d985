#include "ref.hpp"
#include "sellavar.hpp"
#include "startup.hpp"

namespace sellavar {

bool make_constants() noexcept {
  const startup::StringConstant strings[] = {
      {&k.threading, "threading", true},
      {&k.Lock, "Lock", true},
      {&k.time, "time", true},
      {&k.typing, "typing", true},
      {&k.Any, "Any", true},
      {&k.address_module, "tarvex_utils.models.data_models.address", true},
      {&k.Address, "Address", true},
      {&k.record_module, "tarvex_data.data_models.lock_object", true},
      {&k.LockObject, "LockObject", true},
      {&k.base_module, "tarvex_data.lock.base", true},
      {&k.LockBase, "LockBase", true},
      {&k.Sellavar, "Sellavar", true},
      {&k.test, "__test__", true},
      {&k.locks, "locks", true},
      {&k.lock_data, "lock_data", true},
      {&k.acquire, "acquire", true},
      {&k.release, "release", true},
      {&k.property, "property", true},
      {&k.round, "round", true},
      {&k.class_doc, "\n    A thread lock implementation of the LockBase class.\n    ", false},
  };
  return startup::make_strings(strings, static_cast<int>(sizeof strings / sizeof strings[0])) &&
         (k.kw_timeout || (k.kw_timeout = startup::names_tuple({"timeout"}))) &&
         (k.kw_blocking || (k.kw_blocking = startup::names_tuple({"blocking"}))) &&
         (k.kw_record || (k.kw_record = startup::names_tuple({"expires_at", "data"}))) &&
         (k.zero || (k.zero = PyLong_FromLong(0))) &&
         (k.thousand || (k.thousand = PyLong_FromLong(1000))) &&
         (k.no_timeout || (k.no_timeout = PyLong_FromLong(-1)));
}

}  // namespace sellavar
