#pragma once
// Scalar-or-list arguments of the block operations.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kestpy/args.h"

namespace kestpy {

/// `o` itself when it is a list or tuple, else a new list of its items, read
/// by iterating: another sequence's length is only a hint, and one whose
/// __len__ raises still reads like the block constructor reads it. Null with
/// the error set when iterating fails.
PyRef list_or_tuple(PyObject* o);

/// Re-raises the Python error that is set, same type, its message after `prefix`.
[[noreturn]] void reraise_prefixed(const std::string& prefix);

/// Appends every item of the sequence `o` as `convert` makes it; false (no
/// error left set) when `o` is no sequence or an item does not convert. An
/// error `convert` raises gets the prefix "entry <i> ".
template <class T, class Conv>
bool sequence_items(PyObject* o, Conv& convert, std::vector<T>& out) {
  PyRef seq = list_or_tuple(o);
  if (!seq) {
    PyErr_Clear();
    return false;
  }
  out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get())));
  // A list is read in place, and an item's conversion may shrink it: read the
  // length at every step and hold the item while it converts.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    PyRef held = PyRef::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
    T item;
    bool ok = false;
    try {
      ok = convert(held.get(), item);
    } catch (const PyErrSet&) {
      reraise_prefixed("entry " + std::to_string(i) + " ");
    }
    if (!ok) return false;
    out.push_back(std::move(item));
  }
  return true;
}

/// A single value of T or a list of T, as a block operation's argument.
template <class T>
struct Param {
  std::variant<T, std::vector<T>> value;

  bool is_list() const { return value.index() == 1; }
  const std::vector<T>& list() const { return std::get<1>(value); }
  const T& single() const { return std::get<0>(value); }

  /// A single value when `convert` accepts the object; else (unless it is a
  /// str) a sequence whose every item it accepts; else TypeError
  /// "Expected a scalar or a list". `convert` returns false without an error set.
  template <class Conv>
  static Param from_py(PyObject* o, Conv&& convert) {
    T one;
    if (convert(o, one)) return Param{decltype(value)(std::in_place_index<0>, std::move(one))};
    if (!PyUnicode_Check(o) && PySequence_Check(o)) {
      std::vector<T> items;
      if (sequence_items(o, convert, items)) return Param{decltype(value)(std::in_place_index<1>, std::move(items))};
    }
    raise(PyExc_TypeError, "Expected a scalar or a list");
  }

  /// n copies of a single value, or the list itself whatever its length.
  std::vector<T> to_vec(std::size_t n) && {
    if (is_list()) return std::get<1>(std::move(value));
    return std::vector<T>(n, single());
  }
};

// Element conversions for Param (no error left set on failure); a float is
// try_double itself. param_text raises ValueError for a str that has no UTF-8
// form (a lone surrogate): that is no question of type.
bool param_vartype(PyObject* o, std::uint8_t& out);
bool param_text(PyObject* o, std::string& out);

}  // namespace kestpy
