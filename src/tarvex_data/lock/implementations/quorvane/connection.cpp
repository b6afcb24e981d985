// Connection members of Quorvane: the client lives in the instance attribute `client`.
#include "quorvane.hpp"
#include "ref.hpp"
#include "startup.hpp"
#include "statements.hpp"

namespace quorvane {

using frame::fail;
using frame::Function;
using frame::Ref;

PyObject* is_connected(Function* fn, PyObject* const* p) {
  Ref client = frame::getattr_or_none(p[0], k.client);
  if (!client) return fail(fn, line::IsConnected::read_client);
  return PyBool_FromLong(client.get() != Py_None);
}

PyObject* is_alive(Function* fn, PyObject* const* p) {
  using L = line::IsAlive;
  PyObject* self = p[0];
  Ref client = frame::getattr_or_none(self, k.client);
  int truth = client ? PyObject_IsTrue(client.get()) : -1;
  if (truth < 0) return fail(fn, L::read_client);
  if (!truth) Py_RETURN_FALSE;
  client = Ref::steal(PyObject_GetAttr(self, k.client));
  Ref reply = client ? Ref::steal(PyObject_CallMethodNoArgs(client.get(), k.ping)) : Ref();
  if (reply) Py_RETURN_TRUE;

  frame::add_entry(fn, L::ping);
  frame::ExceptClause clause;  // except redis.exceptions.ConnectionError: return False
  Ref redis = frame::lookup_global(fn, k.redis);
  Ref exceptions = redis ? Ref::steal(PyObject_GetAttr(redis.get(), k.exceptions)) : Ref();
  Ref connection_error =
      exceptions ? Ref::steal(PyObject_GetAttr(exceptions.get(), k.ConnectionError)) : Ref();
  if (!connection_error) {
    clause.leave_with_error();
    return fail(fn, L::except_clause);
  }
  if (PyErr_GivenExceptionMatches(clause.caught(), connection_error.get())) Py_RETURN_FALSE;
  return clause.reraise();
}

PyObject* connect(Function* fn, PyObject* const* p) {
  PyObject* self = p[0];
  Ref factory = Ref::steal(PyObject_GetAttr(self, k.get_redis_client));
  if (!factory) return fail(fn, line::Connect::make_client);
  // host positionally, then the seven options by keyword, in parameter order
  Ref client = Ref::steal(PyObject_Vectorcall(factory.get(), p + 1, 1, k.kw_client_options));
  if (!client || PyObject_SetAttr(self, k.client, client.get()) < 0) {
    return fail(fn, line::Connect::make_client);
  }
  Py_RETURN_NONE;
}

PyObject* disconnect(Function* fn, PyObject* const* p) {
  Ref client = Ref::steal(PyObject_GetAttr(p[0], k.client));
  Ref result = client ? Ref::steal(PyObject_CallMethodNoArgs(client.get(), k.close)) : Ref();
  if (!result) return fail(fn, line::Disconnect::close);
  Py_RETURN_NONE;
}

PyObject* get_redis_client(Function* fn, PyObject* const* p) {
  using L = line::GetRedisClient;
  Ref redis = startup::import_module(fn->globals, k.redis);
  if (!redis) {
    frame::add_entry(fn, L::import);
    frame::ExceptClause clause;  // except ImportError as exc: raise ImportError(msg) from exc
    Ref import_error = Ref::borrow(k.import_error);
    if (!PyErr_GivenExceptionMatches(clause.caught(), import_error.get())) return clause.reraise();
    Ref error = Ref::steal(PyObject_CallOneArg(import_error.get(), k.requires_redis));
    if (error) frame::raise_value(error.get(), clause.caught());
    clause.leave_with_error();
    return fail(fn, L::new_error);
  }
  Ref factory = Ref::steal(PyObject_GetAttr(redis.get(), k.Redis));
  if (!factory) return fail(fn, L::construct);
  // host, port, username, password, ssl and the three paths: all by keyword
  Ref client = Ref::steal(PyObject_Vectorcall(factory.get(), p, 0, k.kw_redis_options));
  if (!client) return fail(fn, L::construct);
  return client.release();
}

}  // namespace quorvane
