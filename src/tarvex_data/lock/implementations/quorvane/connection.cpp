// Connection members of Quorvane: the client lives in the instance attribute `client`.
#include "ops.hpp"
#include "quorvane.hpp"
#include "ref.hpp"
#include "startup.hpp"

namespace quorvane {

using frame::fail;
using frame::Function;
using frame::Ref;

PyObject* is_connected(Function* fn, PyObject* const* p) {
  Ref client = Ref::steal(frame::getattr_or_none(p[0], k.client));
  if (!client) return fail(fn, 30);
  return PyBool_FromLong(client.get() != Py_None);
}

PyObject* is_alive(Function* fn, PyObject* const* p) {
  PyObject* self = p[0];
  Ref client = Ref::steal(frame::getattr_or_none(self, k.client));
  int truth = client ? PyObject_IsTrue(client.get()) : -1;
  if (truth < 0) return fail(fn, 40);
  if (!truth) Py_RETURN_FALSE;
  client = Ref::steal(PyObject_GetAttr(self, k.client));
  Ref reply = client ? Ref::steal(PyObject_CallMethodNoArgs(client.get(), k.ping)) : Ref();
  if (reply) Py_RETURN_TRUE;

  fail(fn, 44);
  Ref caught = Ref::steal(PyErr_GetRaisedException());
  frame::HandlingScope handling(caught.get());
  Ref redis = Ref::steal(frame::lookup_global(info, k.redis));
  Ref exceptions = redis ? Ref::steal(PyObject_GetAttr(redis.get(), k.exceptions)) : Ref();
  Ref connection_error =
      exceptions ? Ref::steal(PyObject_GetAttr(exceptions.get(), k.ConnectionError)) : Ref();
  if (!connection_error) return fail(fn, 45);
  if (PyErr_GivenExceptionMatches(caught.get(), connection_error.get())) Py_RETURN_FALSE;
  PyErr_SetRaisedException(caught.release());
  return nullptr;
}

PyObject* connect(Function* fn, PyObject* const* p) {
  PyObject* self = p[0];
  Ref factory = Ref::steal(PyObject_GetAttr(self, k.get_redis_client));
  if (!factory) return fail(fn, 78);
  // host positionally, then the seven options by keyword, in parameter order
  Ref client = Ref::steal(PyObject_Vectorcall(factory.get(), p + 1, 1, k.kw_client_options));
  if (!client || PyObject_SetAttr(self, k.client, client.get()) < 0) return fail(fn, 78);
  Py_RETURN_NONE;
}

PyObject* disconnect(Function* fn, PyObject* const* p) {
  Ref client = Ref::steal(PyObject_GetAttr(p[0], k.client));
  Ref result = client ? Ref::steal(PyObject_CallMethodNoArgs(client.get(), k.close)) : Ref();
  if (!result) return fail(fn, 96);
  Py_RETURN_NONE;
}

PyObject* get_redis_client(Function* fn, PyObject* const* p) {
  Ref redis = frame::import_module(info, k.redis);
  if (!redis) {
    fail(fn, 175);
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    if (!PyErr_GivenExceptionMatches(caught.get(), k.import_error)) {
      PyErr_SetRaisedException(caught.release());
      return nullptr;
    }
    frame::HandlingScope handling(caught.get());
    Ref error = Ref::steal(PyObject_CallOneArg(k.import_error, k.requires_redis));
    if (error) frame::raise_value(error.get(), caught.get());
    return fail(fn, 178);
  }
  Ref factory = Ref::steal(PyObject_GetAttr(redis.get(), k.Redis));
  if (!factory) return fail(fn, 180);
  // host, port, username, password, ssl and the three paths: all by keyword
  Ref client = Ref::steal(PyObject_Vectorcall(factory.get(), p, 0, k.kw_redis_options));
  if (!client) return fail(fn, 180);
  return client.release();
}

}  // namespace quorvane
