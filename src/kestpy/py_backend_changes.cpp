// PyBackend: the optional change methods of the backend protocol. Each takes
// read-only memoryviews that own their memory (indices int64, values float64,
// types uint8 codes) or a list of str for names, and answers False when it did
// not apply the change (the bridge then falls back), anything else when it did.
#include <iterator>

#include "kestpy/buffers.h"
#include "kestpy/errors.h"
#include "kestpy/gil.h"
#include "kestpy/py_backend.h"

namespace kestpy {

namespace {

enum ChangeMethod : std::size_t {
  kVariableBounds,
  kVariableTypes,
  kVariableNames,
  kObjectiveCoefficients,
  kConstraintBounds,
  kCoefficients,
  kConstraintNames,
  kStartValues,
};

constexpr const char* kChangeMethods[] = {
    "set_variable_bounds",   "set_variable_types", "set_variable_names",   "set_objective_coefficients",
    "set_constraint_bounds", "set_coefficients",   "set_constraint_names", "set_start_values",
};

PyRef indices(std::span<const std::uint64_t> ids) {
  return owned_memoryview(std::vector<std::int64_t>(ids.begin(), ids.end()));
}

PyRef floats(std::span<const double> values) { return owned_memoryview(std::vector<double>(values.begin(), values.end())); }

PyRef texts(std::span<const std::string> names) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) throw_python_fault();
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* s = PyUnicode_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size()));
    if (!s) throw_python_fault();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

}  // namespace

PyObject* change_method_name(std::size_t which) {
  static PyObject* interned[std::size(kChangeMethods)] = {};
  if (!interned[which]) {
    interned[which] = PyUnicode_InternFromString(kChangeMethods[which]);
    if (!interned[which]) throw_python_fault();
  }
  return interned[which];
}

template <class... Args>
bool PyBackend::call_change(std::size_t which, const Args&... args) {
  if (!has_.change[which]) return false;
  PyObject* name = change_method_name(which);
  PyObject* argv[sizeof...(Args) + 1] = {backend_.get(), args.get()...};
  PyRef r = PyRef::steal(
      PyObject_VectorcallMethod(name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!r) throw_python_fault(std::string("Python backend method '") + kChangeMethods[which] + "' failed: ");
  return r.get() != Py_False;
}

bool PyBackend::set_variable_bounds(std::span<const std::uint64_t> vars, std::span<const double> lowers,
                                    std::span<const double> uppers) {
  if (!has_.change[kVariableBounds]) return false;
  GilGuard gil;
  return call_change(kVariableBounds, indices(vars), floats(lowers), floats(uppers));
}

bool PyBackend::set_variable_types(std::span<const std::uint64_t> vars, std::span<const char32_t> types) {
  if (!has_.change[kVariableTypes]) return false;
  GilGuard gil;
  std::vector<std::uint8_t> codes(types.size());
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (types[i] > 0x7F) throw kest::Fault("A variable type code outside ASCII cannot travel as an array");
    codes[i] = static_cast<std::uint8_t>(types[i]);
  }
  return call_change(kVariableTypes, indices(vars), owned_memoryview(std::move(codes)));
}

bool PyBackend::set_variable_names(std::span<const std::uint64_t> vars, std::span<const std::string> names) {
  if (!has_.change[kVariableNames]) return false;
  GilGuard gil;
  return call_change(kVariableNames, indices(vars), texts(names));
}

bool PyBackend::set_objective_coefficients(std::span<const std::uint64_t> vars, std::span<const double> coeffs) {
  if (!has_.change[kObjectiveCoefficients]) return false;
  GilGuard gil;
  return call_change(kObjectiveCoefficients, indices(vars), floats(coeffs));
}

bool PyBackend::set_constraint_bounds(std::span<const std::uint64_t> rows, std::span<const double> lowers,
                                      std::span<const double> uppers) {
  if (!has_.change[kConstraintBounds]) return false;
  GilGuard gil;
  return call_change(kConstraintBounds, indices(rows), floats(lowers), floats(uppers));
}

bool PyBackend::set_coefficients(std::span<const std::uint64_t> rows, std::span<const std::uint64_t> vars,
                                 std::span<const double> values) {
  if (!has_.change[kCoefficients]) return false;
  GilGuard gil;
  return call_change(kCoefficients, indices(rows), indices(vars), floats(values));
}

bool PyBackend::set_constraint_names(std::span<const std::uint64_t> rows, std::span<const std::string> names) {
  if (!has_.change[kConstraintNames]) return false;
  GilGuard gil;
  return call_change(kConstraintNames, indices(rows), texts(names));
}

bool PyBackend::set_start_values(std::span<const std::uint64_t> vars, std::span<const double> values) {
  if (!has_.change[kStartValues]) return false;
  GilGuard gil;
  return call_change(kStartValues, indices(vars), floats(values));
}

}  // namespace kestpy
