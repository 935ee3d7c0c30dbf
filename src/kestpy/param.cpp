#include "kestpy/param.h"

#include <algorithm>
#include <charconv>
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

namespace {

bool nested(PyObject* o) {
  return !PyUnicode_Check(o) && !PyBytes_Check(o) && !PyByteArray_Check(o) && PySequence_Check(o);
}

void flatten_into(PyObject* list, PyObject* o, const char* param, std::span<const std::uint64_t> shape, std::size_t d) {
  PyRef seq = list_or_tuple(o);
  if (!seq) throw PyErrSet{};
  const Py_ssize_t len = PySequence_Fast_GET_SIZE(seq.get());
  if (static_cast<std::uint64_t>(len) != shape[d])
    raise(PyExc_ValueError, "addVars: '" + std::string(param) + "' has " + std::to_string(len) +
                                " entries along dimension " + std::to_string(d) + " but the block has " +
                                std::to_string(shape[d]));
  for (Py_ssize_t i = 0; i < len; ++i) {
    PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
    if (d + 1 < shape.size()) {
      if (!nested(item.get()))
        raise(PyExc_ValueError, "addVars: '" + std::string(param) + "' is nested but not to the block's " +
                                    std::to_string(shape.size()) + " dimensions");
      flatten_into(list, item.get(), param, shape, d + 1);
    } else {
      check_status(PyList_Append(list, item.get()));
    }
  }
}

}  // namespace

PyRef block_argument(PyObject* o, const char* param, std::span<const std::uint64_t> shape) {
  if (PyBytes_Check(o) || PyByteArray_Check(o))
    raise(PyExc_TypeError, "addVars: '" + std::string(param) + "' is " + Py_TYPE(o)->tp_name +
                               ", not a number or a list (its bytes would read as small integers)");
  if (shape.size() < 2 || !nested(o)) return PyRef::borrow(o);
  // Nested when the first entry is itself a sequence: a flat list keeps its meaning.
  PyRef seq = list_or_tuple(o);
  if (!seq) {
    PyErr_Clear();
    return PyRef::borrow(o);
  }
  if (PySequence_Fast_GET_SIZE(seq.get()) == 0 || !nested(PySequence_Fast_GET_ITEM(seq.get(), 0))) return seq;
  PyRef flat = check(PyList_New(0));
  flatten_into(flat.get(), seq.get(), param, shape, 0);
  return flat;
}

}  // namespace kestpy
