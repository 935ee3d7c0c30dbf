#pragma once
// Matrix-form modelling: MLinExpr (a vector of affine expressions, one per
// row), MConstr (such a vector compared with a right-hand side) and Constrs
// (the handle of a block of constraints once added). Rows are compressed the
// way the cache stores them, so a block travels from the user's arrays to the
// cache without a Python object per term.
#include <cstdint>
#include <span>
#include <string>

#include "core/mapped_allocator.h"
#include "core/affine.h"
#include "kestpy/objects.h"
#include "solver_api/columns.h"

namespace kestpy {

/// Rows of affine expressions: row r holds the terms [starts[r], starts[r+1])
/// of vars and coeffs, simplified as the core's arithmetic leaves a row
/// written term by term (ascending variables, no repeats, no zeros).
struct MatrixRows {
  kest::Array<std::uint64_t> starts{0};
  kest::Array<std::uint32_t> vars;
  kest::Array<double> coeffs;
  kest::Array<double> constants;

  std::size_t size() const { return constants.size(); }
  std::size_t row_begin(std::size_t r) const { return static_cast<std::size_t>(starts[r]); }
  std::size_t row_end(std::size_t r) const { return static_cast<std::size_t>(starts[r + 1]); }
  void reserve(std::size_t rows, std::size_t terms);
};

struct MLinExprObject {
  PyObject_HEAD
  MatrixRows rows;
  ModelTag model;
};

struct MConstrObject {
  PyObject_HEAD
  kest::ConstraintBatch batch;
  std::uint32_t max_var;  // the largest variable index of the batch (0 when it has none)
  ModelTag model;
};

/// A block of constraints a model holds: rows [first, first + count).
struct ConstrsObject {
  PyObject_HEAD
  PyRef cell;
  std::uint64_t first;
  std::uint64_t count;
};

extern PyTypeObject MLinExprType_;
extern PyTypeObject MConstrType_;
extern PyTypeObject ConstrsType_;
PyTypeObject* mlinexpr_type();
PyTypeObject* mconstr_type();
PyTypeObject* constrs_type();
inline bool is_mlinexpr(PyObject* o) { return Py_IS_TYPE(o, &MLinExprType_); }
inline bool is_mconstr(PyObject* o) { return Py_IS_TYPE(o, &MConstrType_); }

/// A new MLinExpr holding `rows`.
PyRef new_mlinexpr(MatrixRows rows, ModelTag model);

/// The number slots of Vars: only @ (either side).
extern PyNumberMethods vars_as_number;

/// Makes numpy leave the binary operators of `type` to the type itself
/// (`__array_ufunc__ = None`), so that `ndarray @ x` and `b <= e` reach it.
void defer_numpy_operators(PyTypeObject* type);

/// Adds the MConstr `block` to model `m` (held in exclusive use by the
/// caller) under the name prefix `name` (may be null or None) and returns
/// its Constrs handle; `where` names the method in errors.
PyRef add_block(ModelObject* m, PyObject* block, PyObject* name, const char* where);

}  // namespace kestpy
