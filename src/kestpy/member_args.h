#pragma once
// The one reader of per-member arguments of a block (addVars's lb, ub, obj,
// vtype and name; prod's coefficients): one value for every member, a flat or
// nested sequence, a dict keyed like the block, or an array read through the
// buffer protocol without a Python object per element.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kestpy/param.h"

namespace kestpy {

struct BlockKeys;

/// The block an argument is read against, and who reads it for messages.
struct MemberBlock {
  const char* where;  // "addVars", "prod"
  std::span<const std::uint64_t> shape;
  std::uint64_t members;
  const BlockKeys* keys;  // null for a numbered block
};

/// How the reader takes a numeric array: not at all (names), as numbers, or
/// as VarType codes (integer arrays of 0 continuous, 1 binary, 2 integer).
enum class ArrayUse { None, Numbers, TypeCodes };

/// Bytes and bytearray are refused: their items would read as small integers.
void refuse_bytes(PyObject* o, const char* where, const char* param);

/// An array exporting a numeric buffer (numpy arrays of bool, integer and
/// float dtypes, array.array, memoryview), held open and checked against its
/// block, so that its values can be read straight into the caller's storage,
/// in row-major order whatever its strides. Reading calls no Python.
class NumericArray {
 public:
  NumericArray() = default;
  ~NumericArray();
  NumericArray(const NumericArray&) = delete;
  NumericArray& operator=(const NumericArray&) = delete;

  /// Opens `o`; false when it exports no numeric buffer. Its shape must be
  /// the block's, or one dimension of its member count (ValueError naming
  /// both). With TypeCodes the values are checked to be codes of an integer dtype.
  bool open(PyObject* o, const char* param, const MemberBlock& block, ArrayUse use);
  bool is_open() const { return open_; }
  /// The block's member count, the number of values read.
  std::size_t size() const { return n_; }
  /// Writes the values; out.size() == size().
  void read(std::span<double> out) const;
  /// Writes letters[code] for each value, an array opened with TypeCodes.
  void read_codes(std::span<char32_t> out, std::span<const char32_t, 3> letters) const;

 private:
  template <class Each>
  void each(Each&& f) const;

  Py_buffer view_{};
  bool open_ = false;
  std::uint8_t family_ = 0;  // the element kind (member_args.cpp)
  bool swap_ = false;        // stored in the other byte order
  std::size_t n_ = 0;
};

/// Reads a numeric array (as NumericArray opens it) into out; false when `o`
/// exports no numeric buffer.
bool read_numeric_array(PyObject* o, const char* param, const MemberBlock& block, ArrayUse use,
                        std::vector<double>& out);

/// `o` itself when it is a dict, a new dict of it when it is another mapping
/// (anything with keys(), as dict() reads it), else null.
PyRef mapping_as_dict(PyObject* o);

/// The dict's values in member order; ValueError names a member key it lacks,
/// or one of its keys that names no member.
PyRef dict_in_member_order(PyObject* dict, const char* param, const MemberBlock& block);

/// A nested sequence whose extents are the block's shape as a flat list in
/// row-major order; anything else as it is (ValueError for other extents).
PyRef flatten_nested(PyObject* o, const char* param, const MemberBlock& block);

/// TypeError "<where>: '<param>' has a <type> for key <key>, not <noun>".
[[noreturn]] void refuse_dict_value(PyObject* value, const char* param, const MemberBlock& block,
                                    std::uint64_t position, const char* noun);

/// One value for all members or a list of them (a list read from a sequence
/// may be longer than the block; the caller checks that it is not shorter).
/// Given `keep_open`, a numeric array is opened there rather than read, for
/// the caller to read straight into its storage; the Param returned then
/// means nothing.
template <class T, class Conv>
Param<T> read_member_argument(PyObject* o, const char* param, const MemberBlock& block, Conv&& convert,
                              const char* noun, ArrayUse use, NumericArray* keep_open = nullptr) {
  refuse_bytes(o, block.where, param);
  T one;
  if (convert(o, one)) return Param<T>{std::variant<T, std::vector<T>>(std::in_place_index<0>, std::move(one))};
  // A dict is keyed like the block: only a keyed block has keys for it (a
  // numbered one takes one value or a list, as it always has).
  if (PyRef dict = block.keys != nullptr ? mapping_as_dict(o) : PyRef()) {
    PyRef values = dict_in_member_order(dict.get(), param, block);
    std::vector<T> items(static_cast<std::size_t>(PyList_GET_SIZE(values.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i)
      if (!convert(PyList_GET_ITEM(values.get(), i), items[static_cast<std::size_t>(i)]))
        refuse_dict_value(PyList_GET_ITEM(values.get(), i), param, block, static_cast<std::uint64_t>(i), noun);
    return Param<T>{std::variant<T, std::vector<T>>(std::in_place_index<1>, std::move(items))};
  }
  if constexpr (std::is_same_v<T, double> || std::is_same_v<T, std::uint8_t>) {
    if (keep_open && use != ArrayUse::None && keep_open->open(o, param, block, use)) return Param<T>{};
    std::vector<double> values;
    if (!keep_open && use != ArrayUse::None && read_numeric_array(o, param, block, use, values)) {
      if constexpr (std::is_same_v<T, double>) {
        return Param<T>{std::variant<T, std::vector<T>>(std::in_place_index<1>, std::move(values))};
      } else {
        std::vector<T> codes(values.begin(), values.end());
        return Param<T>{std::variant<T, std::vector<T>>(std::in_place_index<1>, std::move(codes))};
      }
    }
  }
  PyRef flat = flatten_nested(o, param, block);
  return Param<T>::from_py(flat.get(), convert);
}

}  // namespace kestpy
