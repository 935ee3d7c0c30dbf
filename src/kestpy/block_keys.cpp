// Keyed blocks: reading key dimensions, looking members up by key, and the
// keys of members.
#include "kestpy/block_keys.h"

#include <cmath>

#include "kestpy/args.h"
#include "kestpy/objects.h"
#include "kestpy/param.h"

namespace kestpy {

namespace {

std::string dim_name(std::size_t d) { return "addVars: dimension " + std::to_string(d); }

std::string utf8_of(PyObject* text) {
  Py_ssize_t n = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &n);
  if (!data) throw PyErrSet{};
  return {data, static_cast<std::size_t>(n)};
}

/// str(key) for a name; an error it raises names where the key came from.
std::string label_of(PyObject* key, const std::string& where) {
  PyRef text = PyRef::steal(PyObject_Str(key));
  try {
    if (!text) throw PyErrSet{};
    return utf8_of(text.get());
  } catch (const PyErrSet&) {
    reraise_prefixed(where + " cannot be named: ");
  }
}

/// A key that an integer may equal: 1, 1.0 and True are one key in a dict.
bool is_number(PyObject* key) { return PyNumber_Check(key) && !PyUnicode_Check(key); }

/// The keys of one dimension, as a tuple, with the index from key to position.
KeyedDim read_keys(PyObject* seq, const std::string& where) {
  KeyedDim dim;
  dim.keys = check(PySequence_Tuple(seq));
  dim.index = check(PyDict_New());
  const Py_ssize_t n = PyTuple_GET_SIZE(dim.keys.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* key = PyTuple_GET_ITEM(dim.keys.get(), i);
    const std::string entry = where + " entry " + std::to_string(i);
    if (PyObject_Hash(key) == -1) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrSet{};
      PyErr_Clear();
      raise(PyExc_TypeError, entry + " is a " + Py_TYPE(key)->tp_name + ", which cannot be a key (keys are hashable)");
    }
    if (PyFloat_Check(key) && std::isnan(PyFloat_AS_DOUBLE(key)))
      raise(PyExc_ValueError, entry + " is NaN, which no lookup could find again");
    PyObject* seen = PyDict_GetItemWithError(dim.index.get(), key);
    if (seen)
      raise(PyExc_ValueError, where + " has the key " + key_text(key) + " twice (entries " +
                                  std::to_string(PyLong_AsSsize_t(seen)) + " and " + std::to_string(i) + ")");
    if (PyErr_Occurred()) throw PyErrSet{};
    PyRef position = check(PyLong_FromSsize_t(i));
    check_status(PyDict_SetItem(dim.index.get(), key, position.get()));
    if (is_number(key)) dim.numeric = true;
  }
  return dim;
}

/// A list or tuple of integers only: the extents of a shape written as one
/// argument (addVars([2, 3]) for addVars(2, 3)) far more often than integer
/// keys, so it is refused as a list extent always was; integer keys come as
/// a range or another iterable.
bool reads_as_extents(PyObject* o) {
  if (!PyList_Check(o) && !PyTuple_Check(o)) return false;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i)
    if (!PyLong_Check(PySequence_Fast_GET_ITEM(o, i))) return false;
  return true;
}

/// A dimension given as a sequence of keys rather than an extent.
bool is_key_sequence(PyObject* o) {
  if (PyLong_Check(o) || reads_as_extents(o)) return false;
  // A numpy array has __index__ too, for its 0-d form: anything iterable is keys.
  if (PyIndex_Check(o) && !PySequence_Check(o)) return false;
  PyRef it = PyRef::steal(PyObject_GetIter(o));
  if (!it) {
    PyErr_Clear();
    return false;
  }
  return true;
}

[[noreturn]] void key_error(const std::string& message) {
  PyRef text = check(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  PyErr_SetObject(PyExc_KeyError, text.get());
  throw PyErrSet{};
}

std::uint64_t index_position(PyObject* item, std::uint64_t extent) {
  std::uint64_t v;
  if (!try_u64(item, v)) raise(PyExc_TypeError, "Expected integers for indices");
  if (v >= extent) raise(PyExc_IndexError, "Index out of bounds");
  return v;
}

std::uint64_t found_position(PyObject* p) { return static_cast<std::uint64_t>(PyLong_AsSsize_t(p)); }

}  // namespace

std::string key_text(PyObject* key) {
  PyRef r = PyRef::steal(PyObject_Repr(key));
  if (!r) {
    PyErr_Clear();
    return std::string("<") + Py_TYPE(key)->tp_name + ">";
  }
  Py_ssize_t n = 0;
  const char* data = PyUnicode_AsUTF8AndSize(r.get(), &n);
  if (!data) {
    PyErr_Clear();
    return std::string("<") + Py_TYPE(key)->tp_name + ">";
  }
  return {data, static_cast<std::size_t>(n)};
}

BlockLayout read_dimensions(PyObject* const* dims, std::size_t ndim) {
  BlockLayout out;
  out.shape.reserve(ndim);
  auto keys = std::make_shared<BlockKeys>();
  keys->dims.resize(ndim);
  bool keyed = false;
  for (std::size_t d = 0; d < ndim; ++d) {
    PyObject* o = dims[d];
    const std::string where = dim_name(d);
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o))
      raise(PyExc_TypeError, where + " is a " + Py_TYPE(o)->tp_name + "; give an int or a list of keys");
    if (PyAnySet_Check(o))
      raise(PyExc_TypeError,
            where + " is a " + Py_TYPE(o)->tp_name + ", whose order is arbitrary; give a list of keys (sorted(...))");
    if (!is_key_sequence(o)) {
      out.shape.push_back(to_u64(o));  // the interpreter's message for anything else
      continue;
    }
    keys->dims[d] = read_keys(o, where);
    out.shape.push_back(static_cast<std::uint64_t>(PyTuple_GET_SIZE(keys->dims[d].keys.get())));
    keyed = true;
  }
  if (!keyed) return out;

  out.labels.resize(ndim);
  // One sequence of tuples is a sparse set, addressed by the tuples' items.
  PyObject* first = ndim == 1 ? keys->dims[0].keys.get() : nullptr;
  const Py_ssize_t n = first ? PyTuple_GET_SIZE(first) : 0;
  bool sparse = n > 0;
  for (Py_ssize_t i = 0; i < n && sparse; ++i) sparse = PyTuple_Check(PyTuple_GET_ITEM(first, i));
  if (sparse) {
    const Py_ssize_t arity = PyTuple_GET_SIZE(PyTuple_GET_ITEM(first, 0));
    sparse = arity > 0;
    for (Py_ssize_t i = 0; i < n && sparse; ++i) {
      PyObject* t = PyTuple_GET_ITEM(first, i);
      if (PyTuple_GET_SIZE(t) != arity)
        raise(PyExc_ValueError, "addVars: entry " + std::to_string(i) + " " + key_text(t) + " has " +
                                    std::to_string(PyTuple_GET_SIZE(t)) + " items but entry 0 has " +
                                    std::to_string(arity) + " (a sparse set's tuples have one length)");
    }
    if (sparse) {
      keys->arity = static_cast<std::size_t>(arity);
      keys->dims[0].numeric = false;
      auto& labels = out.labels[0];
      labels.reserve(static_cast<std::size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* t = PyTuple_GET_ITEM(first, i);
        std::string text;
        for (Py_ssize_t j = 0; j < arity; ++j) {
          if (j) text += ',';
          text += label_of(PyTuple_GET_ITEM(t, j), "addVars: entry " + std::to_string(i));
        }
        labels.push_back(std::move(text));
        // Only a one-item tuple can be named by a bare integer.
        if (arity == 1 && is_number(PyTuple_GET_ITEM(t, 0))) keys->dims[0].numeric = true;
      }
      out.keys = std::move(keys);
      return out;
    }
  }
  for (std::size_t d = 0; d < ndim; ++d) {
    PyObject* tuple = keys->dims[d].keys.get();
    if (!tuple) continue;
    auto& labels = out.labels[d];
    labels.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(tuple)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i)
      labels.push_back(label_of(PyTuple_GET_ITEM(tuple, i), dim_name(d) + " entry " + std::to_string(i)));
  }
  out.keys = std::move(keys);
  return out;
}

std::uint64_t dim_position(const VarsObject* vs, std::size_t d, PyObject* item) {
  const KeyedDim* dim = vs->keys ? &vs->keys->dims[d] : nullptr;
  if (dim && dim->keys) {
    if (PyObject* p = PyDict_GetItemWithError(dim->index.get(), item)) return found_position(p);
    if (PyErr_Occurred()) throw PyErrSet{};
    if (dim->numeric || !PyIndex_Check(item))
      key_error(key_text(item) + " is not a key of dimension " + std::to_string(d));
  }
  return index_position(item, vs->shape[d]);
}

std::uint64_t keyed_position(const VarsObject* vs, PyObject* key) {
  const BlockKeys& k = *vs->keys;
  if (k.sparse()) {
    const KeyedDim& dim = k.dims[0];
    PyRef tuple = PyTuple_Check(key) ? PyRef::borrow(key) : check(PyTuple_Pack(1, key));
    if (PyObject* p = PyDict_GetItemWithError(dim.index.get(), tuple.get())) return found_position(p);
    if (PyErr_Occurred()) throw PyErrSet{};
    if (PyTuple_Check(key) || dim.numeric || !PyIndex_Check(key))
      key_error(key_text(key) + " is not a key of the block");
    return index_position(key, vs->shape[0]);
  }
  const std::size_t ndim = vs->shape.size();
  if (ndim == 1) {
    // A key that is itself a tuple is tried whole first.
    PyObject* item = key;
    if (PyTuple_Check(key)) {
      if (PyObject* p = PyDict_GetItemWithError(k.dims[0].index.get(), key)) return found_position(p);
      if (PyErr_Occurred()) throw PyErrSet{};
      if (PyTuple_GET_SIZE(key) != 1) key_error(key_text(key) + " is not a key of the block");
      item = PyTuple_GET_ITEM(key, 0);
    }
    return dim_position(vs, 0, item);
  }
  if (!PyTuple_Check(key) || static_cast<std::size_t>(PyTuple_GET_SIZE(key)) != ndim)
    raise(PyExc_IndexError, "Index dimension does not match variable dimension");
  std::uint64_t position = 0;
  for (std::size_t d = 0; d < ndim; ++d)
    position = position * vs->shape[d] + dim_position(vs, d, PyTuple_GET_ITEM(key, d));
  return position;
}

PyRef member_key(std::span<const std::uint64_t> shape, const BlockKeys* keys, std::uint64_t position) {
  if (keys && keys->sparse()) return PyRef::borrow(PyTuple_GET_ITEM(keys->dims[0].keys.get(), position));
  const std::size_t ndim = shape.size();
  auto item = [&](std::size_t d, std::uint64_t i) {
    if (keys && keys->dims[d].keys) return PyRef::borrow(PyTuple_GET_ITEM(keys->dims[d].keys.get(), i));
    return check(PyLong_FromUnsignedLongLong(i));
  };
  if (ndim == 1) return item(0, position);
  PyRef tuple = check(PyTuple_New(static_cast<Py_ssize_t>(ndim)));
  for (std::size_t d = ndim; d-- > 0;) {
    PyTuple_SET_ITEM(tuple.get(), d, item(d, position % shape[d]).release());
    position /= shape[d];
  }
  return tuple;
}

int visit_block_keys(const BlockKeys* keys, visitproc visit, void* arg) {
  if (!keys) return 0;
  for (const auto& dim : keys->dims) {
    Py_VISIT(dim.keys.get());
    Py_VISIT(dim.index.get());
  }
  return 0;
}

}  // namespace kestpy
