#pragma once
// Argument binding for METH_FASTCALL | METH_KEYWORDS callables, with the
// interpreter's own wording for binding errors, and the shared conversions.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "kestpy/errors.h"

namespace kestpy {

struct ParamSpec {
  const char* name;
  bool required = false;
  bool keyword_only = false;
};

/// A callable's parameter list. Keyword names are interned once.
class Signature {
 public:
  /// `display` is the callable's name as binding errors show it ("Model.addVar").
  /// With `varargs`, surplus positional arguments are collected instead of refused
  /// (every parameter must then be keyword-only).
  Signature(const char* display, std::initializer_list<ParamSpec> params, bool varargs = false);
  // Signatures are function statics, destroyed after the interpreter has gone:
  // the interned names are left to it rather than released then.
  ~Signature() { for (auto& n : names_) n.release(); }

  /// Fills out[i] with a borrowed reference for parameter i, or nullptr when not
  /// given. With varargs, *rest/*nrest receive the positional arguments.
  void bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
            PyObject* const** rest = nullptr, Py_ssize_t* nrest = nullptr) const;

  /// The same for a tp_new-style call (argument tuple and optional dict).
  void bind_tuple(PyObject* args, PyObject* kwargs, PyObject** out) const;

  std::size_t size() const { return params_.size(); }

 private:
  [[noreturn]] void fail(const std::string& what) const;

  std::string display_;
  std::vector<ParamSpec> params_;
  std::vector<PyRef> names_;  // interned
  std::size_t positional_ = 0;
  bool varargs_ = false;
};

/// Runs `convert`; a TypeError it raises gets the prefix "argument '<name>': ".
/// Other errors pass unchanged.
template <class F>
inline auto convert_arg(const char* name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PyErrSet&) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyObject *t, *v, *tb;
      PyErr_Fetch(&t, &v, &tb);
      PyErr_NormalizeException(&t, &v, &tb);
      PyRef type = PyRef::steal(t), value = PyRef::steal(v), trace = PyRef::steal(tb);
      PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, value.get());
    }
    throw;
  }
}

// Conversions. Each throws PyErrSet with the interpreter's message on failure.
double to_double(PyObject* o);                 // float(), __float__, __index__
std::uint64_t to_u64(PyObject* o);             // int or __index__, non-negative
std::int64_t to_i64(PyObject* o);              // int or __index__
std::string_view to_str(PyObject* o);          // exactly a str (or subclass)
/// The interpreter's float conversion of an operand, with any error it raises
/// discarded: false means "not a number". An exact int is read directly,
/// without the float object that the generic conversion makes.
inline bool try_double(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (PyLong_CheckExact(o)) {
    out = PyLong_AsDouble(o);
    if (out == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();  // too large for a float
      return false;
    }
    return true;
  }
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = v;
  return true;
}
/// to_u64 without leaving an error set; false when it fails.
bool try_u64(PyObject* o, std::uint64_t& out);

/// "'<type>' object cannot be cast as '<cls>'" as a TypeError.
[[noreturn]] void raise_cast_error(PyObject* o, const char* cls);

/// "1 entry", "2 entries": a count with its noun for messages.
inline std::string counted(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

/// A sequence argument converted element by element; a str is refused with
/// "Can't extract `str` to `Vec`".
template <class T, class Conv>
std::vector<T> to_vec(PyObject* o, Conv&& conv) {
  if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(o)) raise_cast_error(o, "Sequence");
  std::vector<T> out;
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    PyErr_Clear();
  } else {
    // Only a list's or tuple's length is known to be true; any other length
    // is a hint, and a __len__ that lies must not decide the allocation.
    constexpr Py_ssize_t kHint = Py_ssize_t{1} << 16;
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o) && n > kHint) n = kHint;
    out.reserve(static_cast<std::size_t>(n));
  }
  PyRef it = check(PyObject_GetIter(o));
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) out.push_back(conv(item.get()));
  if (PyErr_Occurred()) throw PyErrSet{};
  return out;
}

}  // namespace kestpy
