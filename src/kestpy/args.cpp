#include "kestpy/args.h"

namespace kestpy {

Signature::Signature(const char* display, std::initializer_list<ParamSpec> params, bool varargs)
    : display_(std::string(display) + "()"), params_(params), varargs_(varargs) {
  for (const auto& p : params_) {
    PyObject* s = PyUnicode_InternFromString(p.name);
    if (!s) throw PyErrSet{};
    names_.push_back(PyRef::steal(s));
    if (!p.keyword_only) ++positional_;
  }
}

void Signature::fail(const std::string& what) const { raise(PyExc_TypeError, display_ + " " + what); }

static std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == names.size()) out += "and ";
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                     PyObject* const** rest, Py_ssize_t* nrest) const {
  const std::size_t n = params_.size();
  for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;

  std::size_t given = static_cast<std::size_t>(nargs);
  if (varargs_) {
    *rest = args;
    *nrest = nargs;
  } else {
    if (given > positional_) {
      std::size_t min = 0;
      for (const auto& p : params_)
        if (!p.keyword_only && p.required) ++min;
      std::string takes = min == positional_ ? std::to_string(positional_)
                                             : "from " + std::to_string(min) + " to " + std::to_string(positional_);
      fail("takes " + takes + " positional argument" + (positional_ == 1 && min == positional_ ? "" : "s") +
           " but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
  }

  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      std::size_t found = n;
      for (std::size_t i = 0; i < n; ++i)
        if (names_[i].get() == key) {
          found = i;
          break;
        }
      if (found == n) {
        for (std::size_t i = 0; i < n; ++i) {
          int eq = PyUnicode_Compare(names_[i].get(), key);
          if (eq == -1 && PyErr_Occurred()) throw PyErrSet{};
          if (eq == 0) {
            found = i;
            break;
          }
        }
      }
      if (found == n) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display_.c_str(), key);
        throw PyErrSet{};
      }
      if (out[found]) fail(std::string("got multiple values for argument '") + params_[found].name + "'");
      out[found] = args[nargs + k];
    }
  }

  std::vector<const char*> missing_pos, missing_kw;
  for (std::size_t i = 0; i < n; ++i)
    if (params_[i].required && !out[i]) (params_[i].keyword_only ? missing_kw : missing_pos).push_back(params_[i].name);
  if (!missing_pos.empty())
    fail("missing " + std::to_string(missing_pos.size()) + " required positional argument" +
         (missing_pos.size() == 1 ? "" : "s") + ": " + quoted_list(missing_pos));
  if (!missing_kw.empty())
    fail("missing " + std::to_string(missing_kw.size()) + " required keyword-only argument" +
         (missing_kw.size() == 1 ? "" : "s") + ": " + quoted_list(missing_kw));
}

void Signature::bind_tuple(PyObject* args, PyObject* kwargs, PyObject** out) const {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
    bind(&PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);
    return;
  }
  std::vector<PyObject*> flat(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + nargs);
  PyRef kwnames = check(PyTuple_New(PyDict_GET_SIZE(kwargs)));
  Py_ssize_t pos = 0, i = 0;
  PyObject *k, *v;
  while (PyDict_Next(kwargs, &pos, &k, &v)) {
    PyTuple_SET_ITEM(kwnames.get(), i++, PyRef::borrow(k).release());
    flat.push_back(v);
  }
  bind(flat.data(), nargs, kwnames.get(), out);
}

double to_double(PyObject* o) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
  return v;
}

std::uint64_t to_u64(PyObject* o) {
  if (PyLong_CheckExact(o)) {
    unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrSet{};
    return v;
  }
  PyRef idx = check(PyNumber_Index(o));
  unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrSet{};
  return v;
}

std::int64_t to_i64(PyObject* o) {
  PyRef idx = check(PyNumber_Index(o));
  long long v = PyLong_AsLongLong(idx.get());
  if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
  return v;
}

std::string_view to_str(PyObject* o) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "must be str, not %.200s", _PyType_Name(Py_TYPE(o)));
    throw PyErrSet{};
  }
  Py_ssize_t n = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &n);
  if (!data) throw PyErrSet{};
  return {data, static_cast<std::size_t>(n)};
}

bool try_u64(PyObject* o, std::uint64_t& out) {
  try {
    out = to_u64(o);
    return true;
  } catch (const PyErrSet&) {
    PyErr_Clear();
    return false;
  }
}

void raise_cast_error(PyObject* o, const char* cls) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'", _PyType_Name(Py_TYPE(o)), cls);
  throw PyErrSet{};
}

}  // namespace kestpy
