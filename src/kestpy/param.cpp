#include "kestpy/param.h"

#include <algorithm>
#include <charconv>

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
    PyErr_Clear();
    return false;
  }
  out.assign(data, static_cast<std::size_t>(n));
  return true;
}

std::vector<std::string> generate_names(std::string_view prefix, const std::vector<std::uint64_t>& shape) {
  std::size_t n = 1;
  for (auto e : shape) n *= e;
  std::vector<std::string> names;
  names.reserve(n);
  // One name per member in row-major order: the index advances like an
  // odometer (the last digit fastest) instead of being recomputed by division,
  // and each name is written into one buffer, long enough for the longest.
  std::vector<std::uint64_t> index(shape.size(), 0);
  // At most 20 digits per 64-bit index, a separator or bracket after each.
  const std::size_t longest = prefix.size() + 1 + 21 * std::max<std::size_t>(shape.size(), 1);
  std::string buffer(longest, '\0');
  char* const head = std::copy(prefix.begin(), prefix.end(), buffer.data());
  *head = '[';
  char* const end = buffer.data() + buffer.size();
  for (std::size_t p = 0; p < n; ++p) {
    char* out = head + 1;
    for (std::size_t d = 0; d < index.size(); ++d) {
      if (d > 0) *out++ = ',';
      out = std::to_chars(out, end, index[d]).ptr;
    }
    *out++ = ']';
    names.emplace_back(buffer.data(), static_cast<std::size_t>(out - buffer.data()));
    for (std::size_t d = index.size(); d-- > 0;) {
      if (++index[d] < shape[d]) break;
      index[d] = 0;
    }
  }
  return names;
}

}  // namespace kestpy
