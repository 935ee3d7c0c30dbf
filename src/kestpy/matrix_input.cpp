#include "kestpy/matrix_input.h"

#include <cmath>
#include <cstring>
#include <utility>
#include <limits>
#include <type_traits>

#include "kestpy/args.h"

namespace kestpy {

namespace {

// numpy is a dependency of the package, imported on first use. No C++ static
// guard: the import may let another thread run, which would then wait on
// the guard while holding the interpreter lock.
PyObject* numpy_function(PyObject*& slot, const char* name) {
  if (!slot) {
    PyRef numpy = check(PyImport_ImportModule("numpy"));
    PyRef f = check(PyObject_GetAttrString(numpy.get(), name));
    if (!slot) slot = f.release();  // kept for the life of the process
  }
  return slot;
}

PyObject* ascontiguousarray() {
  static PyObject* f = nullptr;
  return numpy_function(f, "ascontiguousarray");
}

PyObject* float64() {
  static PyObject* t = nullptr;
  return numpy_function(t, "float64");
}

std::string type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

/// TypeError and ValueError of a conversion become `message`; others pass.
[[noreturn]] void conversion_failed(const std::string& message) {
  if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    raise(PyExc_TypeError, message);
  }
  throw PyErrSet{};
}

PyRef attribute(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }

/// The array `o` as numpy holds it (any dtype), C-contiguous.
ArrayView any_array(PyObject* o, const std::string& what) {
  PyObject* a = PyObject_CallOneArg(ascontiguousarray(), o);
  if (!a) conversion_failed(what + ": expected an array, got " + type_name(o));
  return ArrayView(PyRef::steal(a));
}

[[noreturn]] void bad_value(const std::string& what, double v, const std::string& where) {
  raise(PyExc_ValueError, what + ": " + (std::isnan(v) ? "NaN" : v > 0 ? "inf" : "-inf") + " " + where +
                              "; coefficients must be finite numbers");
}

// ---- integer index arrays ----------------------------------------------------------

/// The buffer's format letter, byte order and size marks skipped.
char format_letter(const ArrayView& a) {
  const char* format = a.buffer().format ? a.buffer().format : "B";
  return format[0] == '@' || format[0] == '=' || format[0] == '<' ? format[1] : format[0];
}

/// Calls f(const T* values) with the integer type the buffer holds; a
/// buffer of anything else (floats, bools) is refused.
template <class F>
void with_ints(const ArrayView& a, const std::string& what, F&& f) {
  const char* format = a.buffer().format ? a.buffer().format : "B";
  const char c = format_letter(a);
  const bool is_signed = c != '\0' && std::strchr("bhilqn", c);
  const bool is_unsigned = c != '\0' && std::strchr("BHILQN", c);
  if (!is_signed && !is_unsigned)
    raise(PyExc_TypeError, what + " must hold integers, not values of format '" + format + "'");
  const void* p = a.buffer().buf;
  switch (a.buffer().itemsize) {
    case 1: return is_signed ? f(static_cast<const std::int8_t*>(p)) : f(static_cast<const std::uint8_t*>(p));
    case 2: return is_signed ? f(static_cast<const std::int16_t*>(p)) : f(static_cast<const std::uint16_t*>(p));
    case 4: return is_signed ? f(static_cast<const std::int32_t*>(p)) : f(static_cast<const std::uint32_t*>(p));
    case 8: return is_signed ? f(static_cast<const std::int64_t*>(p)) : f(static_cast<const std::uint64_t*>(p));
    default: raise(PyExc_TypeError, what + " must hold integers of at most 64 bits");
  }
}

/// Whether numbers read from `a` as they are give what numpy's float64
/// conversion gives: float64 itself, or integers of up to 64 bits, which
/// convert exactly as numpy converts them (to the nearest double).
bool reads_as_numbers(const ArrayView& a) {
  const char c = format_letter(a);
  return (c == 'd' && a.buffer().itemsize == 8) ||
         (c != '\0' && std::strchr("bhilqnBHILQN", c) && a.buffer().itemsize <= 8);
}

/// Calls f(const T* values) with the type a reads_as_numbers() array holds.
template <class F>
void with_numbers(const ArrayView& a, F&& f) {
  if (format_letter(a) == 'd') return f(a.doubles());
  with_ints(a, "A", std::forward<F>(f));
}

/// v as an index below `bound`, or false (negative, or too large).
template <class T>
bool index_below(T v, std::uint64_t bound, std::uint64_t& out) {
  if constexpr (std::is_signed_v<T>) {
    if (v < 0) return false;
  }
  out = static_cast<std::uint64_t>(v);
  return out < bound;
}

template <class T>
[[noreturn]] void bad_index(const std::string& what, T v, std::size_t k, std::uint64_t bound) {
  raise(PyExc_ValueError, what + "[" + std::to_string(k) + "] is " + std::to_string(v) + ", outside 0.." +
                              (bound == 0 ? std::string("(none)") : std::to_string(bound - 1)));
}

/// Every index of `a`, each checked to lie below `bound`.
std::vector<std::uint64_t> indices_below(const ArrayView& a, std::uint64_t bound, const std::string& what) {
  std::vector<std::uint64_t> out(a.size());
  with_ints(a, what, [&](const auto* p) {
    for (std::size_t k = 0; k < out.size(); ++k)
      if (!index_below(p[k], bound, out[k])) bad_index(what, p[k], k, bound);
  });
  return out;
}

/// Row starts of a compressed matrix: rows + 1 offsets from 0 to nnz, never
/// decreasing.
std::vector<std::uint64_t> offsets(const ArrayView& a, std::size_t rows, std::size_t nnz, const std::string& what) {
  if (a.size() != rows + 1)
    raise(PyExc_ValueError, what + " has " + std::to_string(a.size()) + " entries, not " + std::to_string(rows + 1));
  std::vector<std::uint64_t> out = indices_below(a, static_cast<std::uint64_t>(nnz) + 1, what);
  if (out.front() != 0 || out.back() != nnz)
    raise(PyExc_ValueError, what + " must run from 0 to the " + std::to_string(nnz) + " stored entries");
  for (std::size_t r = 1; r < out.size(); ++r)
    if (out[r] < out[r - 1]) raise(PyExc_ValueError, what + " decreases at entry " + std::to_string(r));
  return out;
}

}  // namespace

// ---- the block's members -----------------------------------------------------------

NarrowMembers::NarrowMembers(const MemberIds& ids) : count_(ids.size()) {
  auto narrow = [](kest::VarId id) {
    if (id.index > std::numeric_limits<std::uint32_t>::max())
      raise(PyExc_ValueError, "VarId(" + std::to_string(id.index) +
                                  ") is beyond the 4294967295 variables a model can hold");
    return static_cast<std::uint32_t>(id.index);
  };
  if (ids.is_run()) {
    // Only the last id of a run can be beyond.
    if (count_ != 0) first_ = narrow(kest::VarId{ids.front().index + count_ - 1}) - static_cast<std::uint32_t>(count_ - 1);
    return;
  }
  table_.resize(count_);
  for (std::size_t k = 0; k < count_; ++k) table_[k] = narrow(ids[k]);
}

namespace {

[[noreturn]] void shape_mismatch(const std::string& matrix_shape, const std::string& block_shape, std::size_t n,
                                 std::size_t members) {
  raise(PyExc_ValueError, "A @ x: A has shape " + matrix_shape + " (" + std::to_string(n) +
                              " columns) but the block x has shape " + block_shape + " (" +
                              counted(members, "member", "members") + ")");
}

/// The rows of a product, written entry by entry into arrays sized for every
/// entry: zero entries left out (as a term by term sum drops them), every
/// other one checked, and a row whose variables do not strictly ascend
/// simplified as the core simplifies a sum.
class RowWriter {
 public:
  RowWriter(MatrixRows& rows, const NarrowMembers& ids, std::size_t nrows, std::size_t entries)
      : rows_(rows), ids_(ids) {
    rows_.starts.reserve(nrows + 1);
    rows_.constants.reserve(nrows);
    rows_.vars.resize(entries);
    rows_.coeffs.resize(entries);
    vars_ = rows_.vars.data();
    coeffs_ = rows_.coeffs.data();
  }

  void add(std::size_t r, std::uint64_t col, double a) {
    if (a == 0.0) return;
    if (!std::isfinite(a))
      bad_value("A @ x", a, "in A at row " + std::to_string(r) + ", column " + std::to_string(col));
    const std::uint32_t v = ids_[col];
    if (end_ > begin_ && v <= vars_[end_ - 1]) sorted_ = false;
    vars_[end_] = v;
    coeffs_[end_] = a;
    ++end_;
  }

  void end_row() {
    if (!sorted_) simplify_row();
    rows_.starts.push_back(end_);
    rows_.constants.push_back(0.0);
    begin_ = end_;
    sorted_ = true;
  }

  void finish() {
    rows_.vars.resize(end_);
    rows_.coeffs.resize(end_);
  }

 private:
  /// The core's simplification of the row, so that it is what the same
  /// terms summed one by one give; it never lengthens the row.
  void simplify_row() {
    scratch_.terms.clear();
    for (std::size_t k = begin_; k < end_; ++k) scratch_.terms.push_back({kest::VarId{vars_[k]}, coeffs_[k]});
    scratch_.simplify();
    end_ = begin_;
    for (const auto& t : scratch_.terms) {
      vars_[end_] = static_cast<std::uint32_t>(t.var.index);
      coeffs_[end_] = t.coeff;
      ++end_;
    }
  }

  MatrixRows& rows_;
  const NarrowMembers& ids_;
  std::uint32_t* vars_ = nullptr;
  double* coeffs_ = nullptr;
  std::size_t begin_ = 0, end_ = 0;
  bool sorted_ = true;
  kest::ScalarAffineFn scratch_;
};

// ---- the formats -------------------------------------------------------------------

void rows_of_dense(const ArrayView& a, const NarrowMembers& ids, MatrixRows& rows) {
  const std::size_t m = a.extent(0), n = a.extent(1);
  with_numbers(a, [&](const auto* p) {
    std::size_t nonzeros = 0;
    for (std::size_t k = 0; k < m * n; ++k) nonzeros += p[k] != 0;
    RowWriter w(rows, ids, m, nonzeros);
    for (std::size_t r = 0; r < m; ++r) {
      for (std::size_t c = 0; c < n; ++c) w.add(r, c, static_cast<double>(p[r * n + c]));
      w.end_row();
    }
    w.finish();
  });
}

void rows_of_csr(PyObject* A, std::size_t m, std::size_t n, const NarrowMembers& ids,
                 MatrixRows& rows) {
  const ArrayView data = float_array(attribute(A, "data").get(), "A.data");
  const ArrayView indices = any_array(attribute(A, "indices").get(), "A.indices");
  const std::vector<std::uint64_t> starts =
      offsets(any_array(attribute(A, "indptr").get(), "A.indptr"), m, data.size(), "A.indptr");
  if (indices.size() != data.size())
    raise(PyExc_ValueError, "A.indices has " + std::to_string(indices.size()) + " entries but A.data has " +
                                std::to_string(data.size()));
  const double* values = data.doubles();
  with_ints(indices, "A.indices", [&](const auto* cols) {
    RowWriter w(rows, ids, m, data.size());
    for (std::size_t r = 0; r < m; ++r) {
      for (auto k = static_cast<std::size_t>(starts[r]); k < starts[r + 1]; ++k) {
        std::uint64_t c;
        if (!index_below(cols[k], n, c)) bad_index("A.indices", cols[k], k, n);
        w.add(r, c, values[k]);
      }
      w.end_row();
    }
    w.finish();
  });
}

/// Entries given by (row, column) in stored order, as COO holds them and a
/// CSC matrix column by column: each row takes its entries in that order.
void rows_of_entries(const std::vector<std::uint64_t>& row, const std::vector<std::uint64_t>& col,
                     const double* values, std::size_t m, const NarrowMembers& ids, MatrixRows& rows) {
  std::vector<std::uint64_t> first(m + 1, 0);
  for (auto r : row) ++first[r + 1];
  for (std::size_t r = 0; r < m; ++r) first[r + 1] += first[r];
  std::vector<std::uint64_t> order(row.size());
  {
    std::vector<std::uint64_t> next(first.begin(), first.end() - 1);
    for (std::size_t k = 0; k < row.size(); ++k) order[next[row[k]]++] = k;
  }
  RowWriter w(rows, ids, m, row.size());
  for (std::size_t r = 0; r < m; ++r) {
    for (auto p = first[r]; p < first[r + 1]; ++p) w.add(r, col[order[p]], values[order[p]]);
    w.end_row();
  }
  w.finish();
}

void rows_of_coo(PyObject* A, std::size_t m, std::size_t n, const NarrowMembers& ids,
                 MatrixRows& rows) {
  const ArrayView data = float_array(attribute(A, "data").get(), "A.data");
  const auto row = indices_below(any_array(attribute(A, "row").get(), "A.row"), m, "A.row");
  const auto col = indices_below(any_array(attribute(A, "col").get(), "A.col"), n, "A.col");
  if (row.size() != data.size() || col.size() != data.size())
    raise(PyExc_ValueError, "A.row, A.col and A.data have " + std::to_string(row.size()) + ", " +
                                std::to_string(col.size()) + " and " + std::to_string(data.size()) + " entries");
  rows_of_entries(row, col, data.doubles(), m, ids, rows);
}

void rows_of_csc(PyObject* A, std::size_t m, std::size_t n, const NarrowMembers& ids,
                 MatrixRows& rows) {
  const ArrayView data = float_array(attribute(A, "data").get(), "A.data");
  const auto row = indices_below(any_array(attribute(A, "indices").get(), "A.indices"), m, "A.indices");
  const std::vector<std::uint64_t> starts =
      offsets(any_array(attribute(A, "indptr").get(), "A.indptr"), n, data.size(), "A.indptr");
  if (row.size() != data.size())
    raise(PyExc_ValueError, "A.indices has " + std::to_string(row.size()) + " entries but A.data has " +
                                std::to_string(data.size()));
  std::vector<std::uint64_t> col(row.size());
  for (std::size_t c = 0; c < n; ++c)
    for (auto k = starts[c]; k < starts[c + 1]; ++k) col[k] = c;
  rows_of_entries(row, col, data.doubles(), m, ids, rows);
}

/// A sparse matrix's shape as a list of extents.
std::vector<std::uint64_t> sparse_shape(PyObject* A) {
  PyRef shape = attribute(A, "shape");
  return convert_arg("A.shape", [&] { return to_vec<std::uint64_t>(shape.get(), to_u64); });
}

/// A sparse matrix in CSR, CSC or COO form, converted once when it is in
/// another; its format in `format`.
PyRef sparse_in_known_format(PyObject* A, std::string& format) {
  PyRef f = attribute(A, "format");
  format = PyUnicode_Check(f.get()) ? std::string(to_str(f.get())) : std::string();
  if (format == "csr" || format == "csc" || format == "coo") return PyRef::borrow(A);
  format = "csr";
  return check(PyObject_CallMethod(A, "tocsr", nullptr));
}

}  // namespace

// ---- ArrayView ----------------------------------------------------------------------

ArrayView::ArrayView(PyRef array) : array_(std::move(array)) {
  check_status(PyObject_GetBuffer(array_.get(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT));
  held_ = true;
}

ArrayView::ArrayView(ArrayView&& o) noexcept
    : array_(std::move(o.array_)), view_(o.view_), held_(std::exchange(o.held_, false)) {}

ArrayView::~ArrayView() {
  if (held_) PyBuffer_Release(&view_);
}

std::string ArrayView::shape_text() const {
  std::vector<std::uint64_t> shape;
  for (int d = 0; d < view_.ndim; ++d) shape.push_back(extent(d));
  return kestpy::shape_text(shape);
}

std::string shape_text(const std::vector<std::uint64_t>& shape) {
  std::string out = "(";
  for (std::size_t d = 0; d < shape.size(); ++d) out += (d ? ", " : "") + std::to_string(shape[d]);
  return out + (shape.size() == 1 ? ",)" : ")");
}

std::vector<kest::VarId> members_at(PyObject* o, const MemberIds& members, const std::string& what) {
  const ArrayView a = any_array(o, what);
  if (a.ndim() != 1) raise(PyExc_ValueError, what + " has shape " + a.shape_text() + "; expected one dimension");
  if (a.size() == 0) return {};  // [] reads as floats
  std::vector<kest::VarId> out(a.size());
  const std::uint64_t bound = members.size();
  with_ints(a, what, [&](const auto* p) {
    for (std::size_t k = 0; k < out.size(); ++k) {
      std::uint64_t position;
      if (!index_below(p[k], bound, position)) bad_index(what, p[k], k, bound);
      out[k] = members[static_cast<std::size_t>(position)];
    }
  });
  return out;
}

ArrayView float_array(PyObject* o, const std::string& what) {
  PyObject* a = PyObject_CallFunctionObjArgs(ascontiguousarray(), o, float64(), nullptr);
  if (!a) conversion_failed(what + ": expected numbers, got " + type_name(o));
  return ArrayView(PyRef::steal(a));
}

bool is_sparse(PyObject* o) {
  if (PyFloat_Check(o) || PyLong_Check(o) || PyList_Check(o) || PyTuple_Check(o)) return false;
  static const char* const kAttrs[] = {"tocsr", "format", "nnz"};
  for (const char* name : kAttrs) {
    PyObject* v = PyObject_GetAttrString(o, name);
    if (!v) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
      PyErr_Clear();
      return false;
    }
    Py_DECREF(v);
  }
  return true;
}

// ---- MatrixRows -----------------------------------------------------------------------

void MatrixRows::reserve(std::size_t rows, std::size_t terms) {
  starts.reserve(starts.size() + rows);
  constants.reserve(constants.size() + rows);
  vars.reserve(vars.size() + terms);
  coeffs.reserve(coeffs.size() + terms);
}

// ---- products -------------------------------------------------------------------------

MatrixOperand read_matrix(PyObject* A) {
  MatrixOperand op;
  if (is_sparse(A)) {
    op.sparse = sparse_in_known_format(A, op.format);
    op.shape = sparse_shape(op.sparse.get());
    if (op.shape.size() == 1) {
      // A one-dimensional sparse vector is read as the dense one it stands for.
      PyRef dense = check(PyObject_CallMethod(op.sparse.get(), "toarray", nullptr));
      op.sparse.reset();
      op.dense.emplace(float_array(dense.get(), "c @ x: c"));
    }
    return op;
  }
  // Integers are read as they are, sparing a converted copy of the array.
  const std::string refused =
      "@ with a block of variables: expected a numpy array or scipy.sparse matrix of numbers, got " + type_name(A);
  PyObject* a = PyObject_CallOneArg(ascontiguousarray(), A);
  if (!a) conversion_failed(refused);
  op.dense.emplace(PyRef::steal(a));
  if (!reads_as_numbers(*op.dense)) {
    op.dense.reset();
    PyObject* f = PyObject_CallFunctionObjArgs(ascontiguousarray(), A, float64(), nullptr);
    if (!f) conversion_failed(refused);
    op.dense.emplace(PyRef::steal(f));
  }
  for (int d = 0; d < op.dense->ndim(); ++d) op.shape.push_back(op.dense->extent(d));
  return op;
}

MatrixRows rows_of_product(const MatrixOperand& A, const MemberIds& ids, const std::string& block_shape) {
  const std::size_t m = A.shape[0], n = A.shape[1];
  if (n != ids.size()) shape_mismatch(shape_text(A.shape), block_shape, n, ids.size());
  const NarrowMembers vars(ids);
  MatrixRows rows;
  if (!A.sparse)
    rows_of_dense(*A.dense, vars, rows);
  else if (A.format == "csr")
    rows_of_csr(A.sparse.get(), m, n, vars, rows);
  else if (A.format == "csc")
    rows_of_csc(A.sparse.get(), m, n, vars, rows);
  else
    rows_of_coo(A.sparse.get(), m, n, vars, rows);
  return rows;
}

void terms_of_product(const MatrixOperand& c, const MemberIds& ids, const std::string& block_shape,
                      kest::ScalarAffineFn& out) {
  const std::size_t n = c.shape[0];
  if (n != ids.size())
    raise(PyExc_ValueError, "c @ x: c has shape " + shape_text(c.shape) + " but the block x has shape " + block_shape +
                                " (" + counted(ids.size(), "member", "members") + ")");
  out.terms.clear();
  out.terms.reserve(n);
  with_numbers(*c.dense, [&](const auto* p) {
    for (std::size_t k = 0; k < n; ++k) {
      const double v = static_cast<double>(p[k]);
      if (v == 0.0) continue;
      if (!std::isfinite(v)) bad_value("c @ x", v, "in c at position " + std::to_string(k));
      out.terms.push_back({ids[k], v});
    }
  });
  out.simplify();  // a no-op for a block made by addVars
}

}  // namespace kestpy
