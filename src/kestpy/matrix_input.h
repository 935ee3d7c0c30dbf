#pragma once
// Reading the user's numpy arrays and scipy.sparse matrices: through the
// buffer protocol, without a Python object per entry, checked as they are read.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/affine.h"
#include "kestpy/matrix.h"
#include "kestpy/member_ids.h"

namespace kestpy {

/// A C-contiguous array read through the buffer protocol; the buffer is
/// released with the view.
class ArrayView {
 public:
  ArrayView() = default;
  /// `o` exactly as it is (it must be C-contiguous).
  explicit ArrayView(PyRef array);
  ArrayView(ArrayView&& o) noexcept;
  ArrayView& operator=(ArrayView&&) = delete;
  ~ArrayView();

  int ndim() const { return view_.ndim; }
  std::size_t extent(int d) const { return static_cast<std::size_t>(view_.shape[d]); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }
  const Py_buffer& buffer() const { return view_; }
  const double* doubles() const { return static_cast<const double*>(view_.buf); }
  /// "(3, 4)"
  std::string shape_text() const;

 private:
  PyRef array_;
  Py_buffer view_{};
  bool held_ = false;
};

/// numpy.ascontiguousarray(o, dtype=float64); TypeError "<what>: expected
/// numbers, got <type>" when o does not convert.
ArrayView float_array(PyObject* o, const std::string& what);

/// Whether o is a scipy.sparse matrix or array (duck-typed, without importing scipy).
bool is_sparse(PyObject* o);

/// The left operand of @ with a block, read once: a scipy.sparse matrix in
/// CSR, CSC or COO form (converted with tocsr() when in another), or a
/// dense float64 array (a one-dimensional sparse one is made dense).
struct MatrixOperand {
  PyRef sparse;
  std::string format;
  std::optional<ArrayView> dense;
  std::vector<std::uint64_t> shape;
};
MatrixOperand read_matrix(PyObject* A);

/// The rows of A @ x for a two-dimensional A and the members `ids` of a
/// block of shape `block_shape` (for messages). Refuses a shape that does
/// not match, NaN or infinite entries, and index arrays that are not
/// integers or point outside the matrix.
MatrixRows rows_of_product(const MatrixOperand& A, const MemberIds& ids, const std::string& block_shape);

/// The terms of c @ x for a one-dimensional c into `out`, simplified; the
/// same checks.
void terms_of_product(const MatrixOperand& c, const MemberIds& ids, const std::string& block_shape,
                      kest::ScalarAffineFn& out);

/// A block's members as 32-bit variable indices, as the cache stores them: a
/// run of consecutive ids as its first, any other as a table. ValueError for
/// an id beyond them (only a hand-built block has one).
class NarrowMembers {
 public:
  NarrowMembers() = default;
  explicit NarrowMembers(const MemberIds& ids);
  std::size_t size() const { return count_; }
  std::uint32_t operator[](std::size_t p) const {
    return table_.empty() ? first_ + static_cast<std::uint32_t>(p) : table_[p];
  }
  /// The table, or null for a run (then member p is first() + p).
  const std::uint32_t* table() const { return table_.empty() ? nullptr : table_.data(); }
  std::uint32_t first() const { return first_; }

 private:
  std::vector<std::uint32_t> table_;
  std::uint32_t first_ = 0;
  std::size_t count_ = 0;
};

/// The members at the positions the one-dimensional array of integers `o`
/// (anything numpy.asarray takes) gives: TypeError for other values,
/// ValueError naming an entry outside 0..members.size()-1.
std::vector<kest::VarId> members_at(PyObject* o, const MemberIds& members, const std::string& what);

/// "(3,)", "(3, 4)"
std::string shape_text(const std::vector<std::uint64_t>& shape);

}  // namespace kestpy
