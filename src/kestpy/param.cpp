#include "kestpy/param.h"

#include <string>

#include "kestpy/errors.h"
#include "kestpy/objects.h"

namespace kestpy {

PyRef list_or_tuple(PyObject* o) {
  if (PyList_Check(o) || PyTuple_Check(o)) return PyRef::borrow(o);
  PyRef it = PyRef::steal(PyObject_GetIter(o));
  if (!it) return {};
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return {};
  while (PyRef item = PyRef::steal(PyIter_Next(it.get())))
    if (PyList_Append(list.get(), item.get()) < 0) return {};
  if (PyErr_Occurred()) return {};
  return list;
}

bool param_vartype(PyObject* o, std::uint8_t& out) {
  if (!PyObject_TypeCheck(o, &VarTypeType_)) return false;
  out = reinterpret_cast<EnumObject*>(o)->code;
  return true;
}

bool param_text(PyObject* o, std::string& out) {
  if (!PyUnicode_Check(o)) return false;
  Py_ssize_t n = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &n);
  if (!data) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw PyErrSet{};
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyRef type = PyRef::steal(t), value = PyRef::steal(v), trace = PyRef::steal(tb);
    PyErr_Format(PyExc_ValueError, "is a str that cannot be encoded as UTF-8 (%S)", value ? value.get() : Py_None);
    throw PyErrSet{};
  }
  out.assign(data, static_cast<std::size_t>(n));
  return true;
}

void reraise_prefixed(const std::string& prefix) {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  PyRef type = PyRef::steal(t), value = PyRef::steal(v), trace = PyRef::steal(tb);
  PyErr_Format(type.get(), "%s%S", prefix.c_str(), value.get());
  throw PyErrSet{};
}

}  // namespace kestpy
