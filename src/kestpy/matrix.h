#pragma once
// Matrix-form modelling: MLinExpr (a vector of affine expressions, one per
// row), MConstr (such a vector compared with a right-hand side) and Constrs
// (the handle of a block of constraints once added). Rows are compressed the
// way the cache stores them, so a block travels from the user's arrays to the
// cache without a Python object per term.
#include <cstdint>
#include <span>
#include <string>

#include "core/array.h"
#include "core/affine.h"
#include "kestpy/objects.h"
#include "kestpy/py_ref.h"
#include "solver_api/columns.h"

namespace kestpy {

/// Rows of affine expressions: row r holds the terms [starts[r], starts[r+1])
/// of vars and coeffs, simplified as the core's arithmetic leaves a row
/// written term by term (ascending variables, no repeats, no zeros).
struct MatrixRows {
  // Shared with the cache when they become its first rows.
  kest::SharedArray<std::uint64_t> starts{0};
  kest::SharedArray<std::uint32_t> vars;
  kest::SharedArray<double> coeffs;
  kest::SharedArray<double> constants;

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

/// Rows of an MLinExpr compared with right-hand sides: the terms stay the
/// MLinExpr's (an MLinExpr never changes), the constraint keeps the constants
/// with the right-hand sides moved in, and the set of every row.
struct MConstrObject {
  PyObject_HEAD
  PyRef terms;  // the MLinExpr
  kest::SharedArray<double> constants;
  kest::Array<std::uint8_t> kinds;  // RowKind
  kest::SharedArray<double> bounds;
  std::uint32_t max_var;  // the largest variable index of the rows (0 when they have none)
  ModelTag model;

  const MatrixRows& rows() const { return reinterpret_cast<const MLinExprObject*>(terms.get())->rows; }
  /// The constraints as the cache takes them.
  kest::ConstraintRows batch() const {
    const MatrixRows& r = rows();
    return {r.starts, r.vars, r.coeffs, constants, kinds, bounds, {},
            {r.starts.share(), r.vars.share(), r.coeffs.share(), constants.share(), bounds.share()}};
  }
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
