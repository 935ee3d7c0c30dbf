#include "kestpy/member_args.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "kestpy/block_keys.h"
#include "kestpy/objects.h"

namespace kestpy {

namespace {

std::string prefix(const MemberBlock& block, const char* param) {
  return std::string(block.where) + ": '" + param + "'";
}

std::string shape_text(const Py_ssize_t* shape, std::size_t ndim) {
  std::string out = "(";
  for (std::size_t d = 0; d < ndim; ++d) {
    if (d) out += ", ";
    out += std::to_string(shape[d]);
  }
  return out + (ndim == 1 ? ",)" : ")");
}

// ---- numeric buffers ---------------------------------------------------------

enum class Family { None, Bool, Signed, Unsigned, Float, Complex };

struct Element {
  Family family = Family::None;
  bool swap = false;  // stored in the other byte order
};

/// The element type of a buffer format: one struct-module letter with an
/// optional byte-order mark; anything else is no number.
Element element_of(const char* format, Py_ssize_t itemsize) {
  const char* f = format ? format : "B";
  char order = '@';
  if (std::strchr("@=<>!", *f) && *f) order = *f++;
  if (*f == 'Z' && f[1] && !f[2]) return {Family::Complex};
  if (!*f || f[1]) return {};
  Element e;
  if (*f == '?') e.family = Family::Bool;
  else if (std::strchr("bhilqn", *f)) e.family = Family::Signed;
  else if (std::strchr("BHILQN", *f)) e.family = Family::Unsigned;
  else if (std::strchr("efd", *f)) e.family = Family::Float;
  else return {};
  const bool ints = e.family == Family::Signed || e.family == Family::Unsigned;
  const bool size_ok = e.family == Family::Bool ? itemsize == 1
                       : ints ? (itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8)
                              : (itemsize == 2 || itemsize == 4 || itemsize == 8);
  if (!size_ok) return {};
  const bool big = order == '>' || order == '!';
  const bool little = order == '<';
  e.swap = (big && std::endian::native == std::endian::little) || (little && std::endian::native == std::endian::big);
  return e;
}

std::string dtype_name(Family family, Py_ssize_t itemsize) {
  const std::string bits = std::to_string(itemsize * 8);
  switch (family) {
    case Family::Bool: return "bool";
    case Family::Signed: return "int" + bits;
    case Family::Unsigned: return "uint" + bits;
    default: return "float" + bits;
  }
}

/// An IEEE half-precision value, exactly.
double from_half(std::uint16_t h) {
  const int exponent = (h >> 10) & 0x1f;
  const int mantissa = h & 0x3ff;
  const double sign = (h & 0x8000) ? -1.0 : 1.0;
  if (exponent == 0) return sign * std::ldexp(mantissa, -24);
  if (exponent == 31) return mantissa ? std::nan("") : sign * HUGE_VAL;
  return sign * std::ldexp(mantissa + 1024, exponent - 25);
}

template <class T>
T load(const char* p, bool swap) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, p, sizeof(T));
  if (swap)
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
  T v;
  std::memcpy(&v, bytes, sizeof(T));
  return v;
}

double element(const char* p, Element e, Py_ssize_t size) {
  switch (e.family) {
    case Family::Bool: return *p ? 1.0 : 0.0;
    case Family::Signed:
      switch (size) {
        case 1: return load<std::int8_t>(p, false);
        case 2: return load<std::int16_t>(p, e.swap);
        case 4: return load<std::int32_t>(p, e.swap);
        default: return static_cast<double>(load<std::int64_t>(p, e.swap));
      }
    case Family::Unsigned:
      switch (size) {
        case 1: return load<std::uint8_t>(p, false);
        case 2: return load<std::uint16_t>(p, e.swap);
        case 4: return load<std::uint32_t>(p, e.swap);
        default: return static_cast<double>(load<std::uint64_t>(p, e.swap));
      }
    default:
      switch (size) {
        case 2: return from_half(load<std::uint16_t>(p, e.swap));
        case 4: return load<float>(p, e.swap);
        default: return load<double>(p, e.swap);
      }
  }
}

// ---- nested sequences --------------------------------------------------------

bool nested(PyObject* o) {
  return !PyUnicode_Check(o) && !PyBytes_Check(o) && !PyByteArray_Check(o) && PySequence_Check(o);
}

void flatten_into(PyObject* list, PyObject* o, const std::string& what, std::span<const std::uint64_t> shape,
                  std::size_t d) {
  PyRef seq = list_or_tuple(o);
  if (!seq) throw PyErrSet{};
  const Py_ssize_t len = PySequence_Fast_GET_SIZE(seq.get());
  if (static_cast<std::uint64_t>(len) != shape[d])
    raise(PyExc_ValueError, what + " has " + std::to_string(len) + " entries along dimension " + std::to_string(d) +
                                " but the block has " + std::to_string(shape[d]));
  for (Py_ssize_t i = 0; i < len; ++i) {
    PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
    if (d + 1 < shape.size()) {
      if (!nested(item.get()))
        raise(PyExc_ValueError,
              what + " is nested but not to the block's " + std::to_string(shape.size()) + " dimensions");
      flatten_into(list, item.get(), what, shape, d + 1);
    } else {
      check_status(PyList_Append(list, item.get()));
    }
  }
}

}  // namespace

void refuse_bytes(PyObject* o, const char* where, const char* param) {
  if (PyBytes_Check(o) || PyByteArray_Check(o))
    raise(PyExc_TypeError, std::string(where) + ": '" + param + "' is " + Py_TYPE(o)->tp_name +
                               ", not a number or a list (its bytes would read as small integers)");
}

NumericArray::~NumericArray() {
  if (open_) PyBuffer_Release(&view_);
}

/// Calls f(value) for every value in row-major order: an odometer over the
/// indices, whatever the strides.
template <class Each>
void NumericArray::each(Each&& f) const {
  const Element e{static_cast<Family>(family_), swap_};
  const auto ndim = static_cast<std::size_t>(view_.ndim);
  const Py_ssize_t one = view_.len / (view_.itemsize ? view_.itemsize : 1);
  const Py_ssize_t* shape = view_.shape ? view_.shape : &one;
  const Py_ssize_t* strides = view_.strides;
  std::array<Py_ssize_t, PyBUF_MAX_NDIM> index{};  // so that reading allocates nothing
  const char* p = static_cast<const char*>(view_.buf);
  for (std::size_t k = 0; k < n_; ++k) {
    f(element(p, e, view_.itemsize));
    for (std::size_t d = ndim; d-- > 0;) {
      p += strides ? strides[d] : view_.itemsize;
      if (++index[d] < shape[d]) break;
      p -= (strides ? strides[d] : view_.itemsize) * shape[d];
      index[d] = 0;
    }
  }
}

bool NumericArray::open(PyObject* o, const char* param, const MemberBlock& block, ArrayUse use) {
  if (!PyObject_CheckBuffer(o)) return false;
  // Held from here to the destructor, which lets it go after a refusal too.
  if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();  // an exporter without this form: read as a sequence
    return false;
  }
  open_ = true;
  const Py_buffer& view = view_;
  const Element e = element_of(view.format, view.itemsize);
  if (e.family == Family::None) {
    PyBuffer_Release(&view_);
    open_ = false;
    return false;
  }
  // float() of a numpy complex drops the imaginary part with only a warning.
  if (e.family == Family::Complex)
    raise(PyExc_TypeError, prefix(block, param) + " is an array of complex numbers, not of real ones");
  const auto ndim = static_cast<std::size_t>(view.ndim);
  const Py_ssize_t one = view.len / (view.itemsize ? view.itemsize : 1);
  const Py_ssize_t* shape = view.shape ? view.shape : &one;

  bool fits = ndim == block.shape.size();
  for (std::size_t d = 0; fits && d < ndim; ++d) fits = static_cast<std::uint64_t>(shape[d]) == block.shape[d];
  if (!fits && !(ndim == 1 && static_cast<std::uint64_t>(shape[0]) == block.members)) {
    std::vector<Py_ssize_t> want(block.shape.begin(), block.shape.end());
    raise(PyExc_ValueError, prefix(block, param) + " has shape " + shape_text(shape, ndim) +
                                " but the block has shape " + shape_text(want.data(), want.size()));
  }
  if (use == ArrayUse::TypeCodes && e.family != Family::Signed && e.family != Family::Unsigned)
    raise(PyExc_TypeError, prefix(block, param) + " is an array of " + dtype_name(e.family, view.itemsize) +
                               "; give integer VarType codes (0 continuous, 1 binary, 2 integer) or VarType constants");
  family_ = static_cast<std::uint8_t>(e.family);
  swap_ = e.swap;
  n_ = static_cast<std::size_t>(block.members);
  if (use == ArrayUse::TypeCodes) {
    std::size_t k = 0;
    each([&](double v) {
      if (v != 0.0 && v != 1.0 && v != 2.0)
        raise(PyExc_ValueError, prefix(block, param) + " entry " + std::to_string(k) + " is " +
                                    std::to_string(static_cast<long long>(v)) +
                                    ", not a VarType code (0 continuous, 1 binary, 2 integer)");
      ++k;
    });
  }
  return true;
}

void NumericArray::read(std::span<double> out) const {
  if (static_cast<Family>(family_) == Family::Float && view_.itemsize == 8 && !swap_ &&
      PyBuffer_IsContiguous(&view_, 'C')) {
    if (n_) std::memcpy(out.data(), view_.buf, n_ * sizeof(double));
    return;
  }
  std::size_t k = 0;
  each([&](double v) { out[k++] = v; });
}

void NumericArray::read_codes(std::span<char32_t> out, std::span<const char32_t, 3> letters) const {
  // The codes were checked when the array was opened; one written since (by
  // another thread while this one waited for the model) reads as code 0
  // rather than outside the letters.
  std::size_t k = 0;
  each([&](double v) { out[k++] = letters[v == 1.0 ? 1 : v == 2.0 ? 2 : 0]; });
}

bool read_numeric_array(PyObject* o, const char* param, const MemberBlock& block, ArrayUse use,
                        std::vector<double>& out) {
  NumericArray array;
  if (!array.open(o, param, block, use)) return false;
  out.resize(array.size());
  array.read(out);
  return true;
}

namespace {

/// Whether the type of `o` defines keys(), looked up along its MRO's own
/// dicts: a failed attribute lookup would make and drop an exception at every
/// argument that is no mapping, and fill the interpreter's type cache.
bool has_keys_method(PyObject* o) {
  static PyObject* const name = PyUnicode_InternFromString("keys");
  if (!name) throw PyErrSet{};
  PyObject* mro = Py_TYPE(o)->tp_mro;
  if (!mro) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
    PyRef dict = PyRef::steal(PyType_GetDict(type));  // static builtin types keep theirs elsewhere
#else
    PyRef dict = PyRef::borrow(type->tp_dict);
#endif
    if (!dict) continue;
    if (PyDict_GetItemWithError(dict.get(), name)) return true;
    if (PyErr_Occurred()) throw PyErrSet{};
  }
  return false;
}

}  // namespace

PyRef mapping_as_dict(PyObject* o) {
  if (PyDict_Check(o)) return PyRef::borrow(o);
  if (!has_keys_method(o)) return {};
  PyRef dict = check(PyDict_New());
  check_status(PyDict_Merge(dict.get(), o, 1));
  return dict;
}

PyRef dict_in_member_order(PyObject* dict, const char* param, const MemberBlock& block) {
  const auto n = static_cast<Py_ssize_t>(block.members);
  PyRef values = check(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef key = member_key(block.shape, block.keys, static_cast<std::uint64_t>(i));
    PyObject* v = PyDict_GetItemWithError(dict, key.get());
    if (!v) {
      if (PyErr_Occurred()) throw PyErrSet{};
      raise(PyExc_ValueError, prefix(block, param) + " has no entry for the key " + key_text(key.get()));
    }
    PyList_SET_ITEM(values.get(), i, PyRef::borrow(v).release());
  }
  if (PyDict_GET_SIZE(dict) != n) {
    // Every member's key is there, so some key of the dict names no member.
    PyRef members = check(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < n; ++i)
      check_status(PySet_Add(members.get(), member_key(block.shape, block.keys,
                                                       static_cast<std::uint64_t>(i))
                                                .get()));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v)) {
      PyRef held = PyRef::borrow(k);
      if (check_status(PySet_Contains(members.get(), held.get())) == 0)
        raise(PyExc_ValueError, prefix(block, param) + " has an entry for the key " + key_text(held.get()) +
                                    ", which names no member of the block");
    }
  }
  return values;
}

PyRef flatten_nested(PyObject* o, const char* param, const MemberBlock& block) {
  if (block.shape.size() < 2 || !nested(o)) return PyRef::borrow(o);
  // Nested when the first entry is itself a sequence: a flat list keeps its meaning.
  PyRef seq = list_or_tuple(o);
  if (!seq) {
    PyErr_Clear();
    return PyRef::borrow(o);
  }
  if (PySequence_Fast_GET_SIZE(seq.get()) == 0 || !nested(PySequence_Fast_GET_ITEM(seq.get(), 0))) return seq;
  PyRef flat = check(PyList_New(0));
  flatten_into(flat.get(), seq.get(), prefix(block, param), block.shape, 0);
  return flat;
}

void refuse_dict_value(PyObject* value, const char* param, const MemberBlock& block, std::uint64_t position,
                       const char* noun) {
  PyRef key = member_key(block.shape, block.keys, position);
  raise(PyExc_TypeError, prefix(block, param) + " has a " + Py_TYPE(value)->tp_name + " for the key " +
                             key_text(key.get()) + ", not " + noun);
}

}  // namespace kestpy
