#pragma once
// Keyed blocks: dimensions of addVars given as sequences of keys, or one
// sequence of tuples for a sparse set. The keys are Python objects and live
// with the Vars object; the model cache sees only their texts, as name labels.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kestpy/py_ref.h"

namespace kestpy {

struct VarsObject;

/// One dimension of a block.
struct KeyedDim {
  PyRef keys;    // a tuple of the keys in order; null for a numbered dimension
  PyRef index;   // a dict from key to its position
  bool numeric = false;  // some key is a number: integers then address by key only
};

struct BlockKeys {
  std::vector<KeyedDim> dims;  // one per dimension
  // A sparse block has one dimension whose keys are tuples of `arity` items,
  // addressed with the items as the subscript (x["a", "b"]); 0 when dense.
  std::size_t arity = 0;
  bool sparse() const { return arity != 0; }
};

/// What addVars's positional arguments describe.
struct BlockLayout {
  std::vector<std::uint64_t> shape;
  std::shared_ptr<const BlockKeys> keys;  // null when every dimension is numbered
  // Per dimension the keys' texts for the names (empty where numbered).
  std::vector<std::vector<std::string>> labels;
};

/// Reads addVars's dimensions: an int (or __index__) is an extent as before,
/// any other iterable but str, bytes and sets is a sequence of distinct
/// hashable keys. Raises with messages that name the dimension and entry.
BlockLayout read_dimensions(PyObject* const* dims, std::size_t ndim);

/// The flat position of the member `key` names in a keyed block; raises
/// KeyError, IndexError or TypeError otherwise.
std::uint64_t keyed_position(const VarsObject* vs, PyObject* key);

/// The position along dimension d that a subscript or pattern item names.
std::uint64_t dim_position(const VarsObject* vs, std::size_t d, PyObject* item);

/// The key of the member at `position` as keys() yields it: the bare key of a
/// one-dimensional block, else the tuple of one item per dimension.
PyRef member_key(std::span<const std::uint64_t> shape, const BlockKeys* keys, std::uint64_t position);

/// "('Seattle', 'NY')": a key's repr for messages.
std::string key_text(PyObject* key);

// Vars's methods for keyed modelling.
/// keys(): the members' keys in row-major order.
PyObject* vars_keys(PyObject* self, PyObject*) noexcept;
/// sum(*pattern): the members matching pattern, summed.
PyObject* vars_sum(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
/// prod(coeffs, *pattern): the members matching pattern, weighted by coeffs.
PyObject* vars_prod(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// Visits the Python objects the keys hold (tp_traverse).
int visit_block_keys(const BlockKeys* keys, visitproc visit, void* arg);

}  // namespace kestpy
