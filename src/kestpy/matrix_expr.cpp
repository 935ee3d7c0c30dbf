// MLinExpr and MConstr, the @ of Vars that makes them, and their operators.
//
// Row r of every result is what the same row written term by term would be:
// A @ x sums a row's entries as quicksum sums them (the core's simplify), and
// the operators run the core's combine() and scale() on each row with the
// constant the scalar operators choose (expr.cpp).
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "kestpy/args.h"
#include "kestpy/matrix.h"
#include "kestpy/matrix_input.h"

namespace kestpy {

namespace {

using kest::AffineTerm;
using kest::ScalarAffineFn;

MLinExprObject* as_mlinexpr(PyObject* o) { return reinterpret_cast<MLinExprObject*>(o); }
VarsObject* as_vars(PyObject* o) { return reinterpret_cast<VarsObject*>(o); }

/// Objects of kestpy that are never numbers or arrays in an operation.
bool is_model_object(PyObject* o) {
  return is_var(o) || is_vars(o) || is_linexpr(o) || is_constr(o) || is_mlinexpr(o) || is_mconstr(o);
}

// ---- rows ----------------------------------------------------------------------------

/// Row r's terms in `out`, in the core's form.
void load_row(const MatrixRows& rows, std::size_t r, std::vector<AffineTerm>& out) {
  out.clear();
  for (std::size_t k = rows.row_begin(r); k < rows.row_end(r); ++k)
    out.push_back(AffineTerm{kest::VarId{rows.vars[k]}, rows.coeffs[k]});
}

/// The rows an operand contributes: an MLinExpr's, or a block's members one
/// per row (x[r] with coefficient 1 and constant 0, as a Var in a sum); a
/// block of consecutive ids is read as its first id and count.
struct RowSource {
  const MatrixRows* rows = nullptr;
  NarrowMembers members;

  static RowSource of_block(PyObject* block) {
    RowSource out;
    out.members = NarrowMembers(block_members(block));
    return out;
  }

  std::size_t size() const { return rows ? rows->size() : members.size(); }
  std::size_t terms() const { return rows ? rows->vars.size() : size(); }
  double constant(std::size_t r) const { return rows ? rows->constants[r] : 0.0; }

  /// The terms as plain pointers, for loops over every row.
  struct View {
    const std::uint64_t* starts;  // null: row r is term r
    const std::uint32_t* vars;    // null: term k is variable first + k
    const double* coeffs;         // null: every coefficient 1
    std::uint32_t first;
    std::size_t begin(std::size_t r) const { return starts ? static_cast<std::size_t>(starts[r]) : r; }
    std::size_t end(std::size_t r) const { return starts ? static_cast<std::size_t>(starts[r + 1]) : r + 1; }
    kest::VarId var(std::size_t k) const { return kest::VarId{vars ? vars[k] : first + k}; }
    AffineTerm term(std::size_t k) const { return AffineTerm{var(k), coeffs ? coeffs[k] : 1.0}; }
  };
  View view() const {
    return rows ? View{rows->starts.data(), rows->vars.data(), rows->coeffs.data(), 0}
                : View{nullptr, members.table(), nullptr, members.first()};
  }
};

/// Appends one term to the row being written. The variables come from rows
/// of 32-bit indices, so they fit.
void emit(MatrixRows& out, kest::VarId var, double coeff) {
  out.vars.push_back(static_cast<std::uint32_t>(var.index));
  out.coeffs.push_back(coeff);
}

void close_row(MatrixRows& out, double constant) {
  out.starts.push_back(out.vars.size());
  out.constants.push_back(constant);
}

/// Row by row a + b (a - b when `negate_b`) as combine() makes it from two
/// simplified operands, with constant(r) as the row's constant.
template <class Constant>
MatrixRows merged(const RowSource& a, const RowSource& b, bool negate_b, Constant&& constant) {
  // Terms are written straight into arrays sized for the worst case (no
  // term cancels) and cut to length at the end.
  const RowSource::View va = a.view(), vb = b.view();
  const std::size_t n = a.size();
  MatrixRows out;
  out.starts.resize(n + 1);
  out.constants.resize(n);
  out.vars.resize(a.terms() + b.terms());
  out.coeffs.resize(a.terms() + b.terms());
  std::uint64_t* starts = out.starts.data();
  std::uint32_t* vars = out.vars.data();
  double* coeffs = out.coeffs.data();
  std::size_t k = 0;
  starts[0] = 0;
  for (std::size_t r = 0; r < n; ++r) {
    const std::size_t ab = va.begin(r), bb = vb.begin(r);
    kest::merge_simplified(
        va.end(r) - ab, [&](std::size_t i) { return va.term(ab + i); }, vb.end(r) - bb,
        [&](std::size_t j) { return vb.term(bb + j); }, negate_b,
        [&](kest::VarId v, double c) {
          vars[k] = static_cast<std::uint32_t>(v.index);
          coeffs[k++] = c;
        });
    starts[r + 1] = k;
    out.constants[r] = constant(r);
  }
  out.vars.resize(k);
  out.coeffs.resize(k);
  return out;
}

// ---- operands --------------------------------------------------------------------------

/// The other operand of an operation with an MLinExpr: rows (an MLinExpr or
/// a block), one number for every row, or a vector of one number per row.
struct Operand {
  enum class Kind { Rows, Number, Vector } kind = Kind::Number;
  RowSource rows;
  double number = 0.0;
  std::optional<ArrayView> vector;
  ModelTag model = kNoModel;

  double value(std::size_t r) const { return kind == Kind::Number ? number : vector->doubles()[r]; }
  double constant(std::size_t r) const { return kind == Kind::Rows ? rows.constant(r) : value(r); }
};

std::string row_count(std::size_t n) { return "(" + std::to_string(n) + ",)"; }

/// Reads `o` for an operation `what` on an MLinExpr of `n` rows; false when
/// `o` is nothing an MLinExpr combines with.
bool read_operand(PyObject* o, std::size_t n, const std::string& what, Operand& out) {
  if (is_mlinexpr(o)) {
    out.kind = Operand::Kind::Rows;
    out.rows.rows = &as_mlinexpr(o)->rows;
    out.model = as_mlinexpr(o)->model;
  } else if (is_vars(o)) {
    out.kind = Operand::Kind::Rows;
    out.rows = RowSource::of_block(o);
    out.model = as_vars(o)->model;
  } else if (is_model_object(o)) {
    return false;
  } else if (PyFloat_Check(o) || PyLong_Check(o)) {
    if (!try_double(o, out.number)) return false;
    out.kind = Operand::Kind::Number;
    return true;
  } else {
    try {
      out.vector.emplace(float_array(o, what));
    } catch (const PyErrSet&) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
      PyErr_Clear();
      return false;
    }
    if (out.vector->ndim() == 0) {
      out.kind = Operand::Kind::Number;
      out.number = out.vector->doubles()[0];
      out.vector.reset();
      return true;
    }
    out.kind = Operand::Kind::Vector;
    if (out.vector->ndim() != 1 || out.vector->extent(0) != n)
      raise(PyExc_ValueError, what + ": shapes " + row_count(n) + " and " + out.vector->shape_text() +
                                  " do not match");
    return true;
  }
  if (out.rows.size() != n)
    raise(PyExc_ValueError, what + ": shapes " + row_count(n) + " and " + row_count(out.rows.size()) +
                                " do not match");
  return true;
}

/// NaN refused everywhere; an infinity too unless `allowed(value)` says the
/// row it makes is meaningful.
template <class Allowed>
void check_values(const Operand& o, std::size_t n, const std::string& what, Allowed&& allowed) {
  if (o.kind == Operand::Kind::Rows) return;
  const std::size_t count = o.kind == Operand::Kind::Number ? (n ? 1 : 0) : n;
  for (std::size_t r = 0; r < count; ++r) {
    const double v = o.value(r);
    if (std::isfinite(v) || (!std::isnan(v) && allowed(v))) continue;
    std::string where = o.kind == Operand::Kind::Number ? "" : " at row " + std::to_string(r);
    raise(PyExc_ValueError, what + ": " + (std::isnan(v) ? "NaN" : v > 0 ? "inf" : "-inf") + where +
                                " is not allowed");
  }
}

void check_finite(const Operand& o, std::size_t n, const std::string& what) {
  check_values(o, n, what, [](double) { return false; });
}

// ---- arithmetic ------------------------------------------------------------------------

enum class Op { Add, Sub, Mul, Div };
const char* const kSymbols[] = {"+", "-", "*", "/"};

/// Every coefficient times `factor`, zero products left out, the constant
/// times `factor`: what scale() makes of each row (whose terms stay sorted).
MatrixRows scaled(const MatrixRows& e, double factor) {
  MatrixRows out;
  out.reserve(e.size(), e.vars.size());
  for (std::size_t r = 0; r < e.size(); ++r) {
    for (std::size_t k = e.row_begin(r); k < e.row_end(r); ++k) {
      const double c = e.coeffs[k] * factor;
      if (c != 0.0) emit(out, kest::VarId{e.vars[k]}, c);
    }
    close_row(out, factor * e.constants[r]);
  }
  return out;
}

/// Reads the other operand of `subject op other` on n rows, NaN and
/// infinities refused; false when it is nothing rows combine with.
bool read_other(PyObject* other, std::size_t n, const char* subject, Op op, Operand& o) {
  const std::string what = std::string(subject) + " " + kSymbols[static_cast<int>(op)];
  if (!read_operand(other, n, what, o)) return false;
  check_finite(o, n, what);
  return true;
}

/// The factor of self * o or self / o (a number only, and a number over rows
/// is not linear); nothing when the operation is not one of those.
std::optional<double> scale_factor(const Operand& o, Op op, bool self_left, const char* subject) {
  if (o.kind != Operand::Kind::Number || (op == Op::Div && !self_left)) return std::nullopt;
  if (op == Op::Mul) return o.number;
  if (o.number == 0.0) raise(PyExc_ZeroDivisionError, std::string(subject) + " division by zero");
  return 1.0 / o.number;
}

PyObject* arithmetic(PyObject* left, PyObject* right, Op op) {
  const bool self_left = is_mlinexpr(left);
  const MLinExprObject* self = as_mlinexpr(self_left ? left : right);
  PyObject* other_object = self_left ? right : left;
  const MatrixRows& e = self->rows;
  const std::size_t n = e.size();
  Operand o;
  if (!read_other(other_object, n, "MLinExpr", op, o)) Py_RETURN_NOTIMPLEMENTED;
  const ModelTag model = join_models(self->model, o.model);
  MatrixRows result;
  switch (op) {
    case Op::Add:
    case Op::Sub: {
      // The left operand's terms come first, and the constants are the
      // scalar operators': left's plus (minus) right's.
      const bool negate = op == Op::Sub;
      RowSource mine;
      mine.rows = &e;
      // e + x[r] keeps e's constant as it is, as LinExpr + Var does.
      const bool plus_block = self_left && o.kind == Operand::Kind::Rows && !o.rows.rows;
      auto constant = [&](std::size_t r) {
        if (plus_block) return e.constants[r];
        const double l = self_left ? e.constants[r] : o.constant(r);
        const double c = self_left ? o.constant(r) : e.constants[r];
        return negate ? l - c : l + c;
      };
      if (o.kind == Operand::Kind::Rows) {
        result = self_left ? merged(mine, o.rows, negate, constant) : merged(o.rows, mine, negate, constant);
      } else {
        // A number or vector brings no terms: e's stay as they are, negated
        // in b - e as combine({}, e, negate) negates them.
        result.starts = e.starts;
        result.vars = e.vars;
        result.coeffs = e.coeffs;
        if (negate && !self_left)
          for (auto& c : result.coeffs) c = -c;
        result.constants.resize(n);
        for (std::size_t r = 0; r < n; ++r) result.constants[r] = constant(r);
      }
      break;
    }
    case Op::Mul:
    case Op::Div: {
      const auto factor = scale_factor(o, op, self_left, "MLinExpr");
      if (!factor) Py_RETURN_NOTIMPLEMENTED;
      result = scaled(e, *factor);
      break;
    }
  }
  return new_mlinexpr(std::move(result), model).release();
}

/// Row r is factor * x[r] (no term when factor is 0, as Var * 0 has none)
/// with constant(r).
template <class Constant>
MatrixRows block_times(const RowSource& x, double factor, Constant&& constant) {
  const std::size_t n = x.size();
  const RowSource::View v = x.view();
  MatrixRows out;
  out.reserve(n, factor != 0.0 ? n : 0);
  for (std::size_t r = 0; r < n; ++r) {
    if (factor != 0.0) emit(out, v.var(r), factor);
    close_row(out, constant(r));
  }
  return out;
}

/// A block x in an operation with anything but an MLinExpr (which handles
/// blocks itself): row r is x[r] op other[r], as Var op Var or Var op number
/// makes it, so x - y is the rows x[r] - y[r] of the flattened blocks.
PyObject* block_arithmetic(PyObject* left, PyObject* right, Op op) {
  const bool self_left = is_vars(left);
  PyObject* block = self_left ? left : right;
  PyObject* other_object = self_left ? right : left;
  if (is_mlinexpr(other_object)) Py_RETURN_NOTIMPLEMENTED;
  const RowSource mine = RowSource::of_block(block);
  const std::size_t n = mine.size();
  Operand o;
  if (!read_other(other_object, n, "Vars", op, o)) Py_RETURN_NOTIMPLEMENTED;
  const ModelTag model = join_models(as_vars(block)->model, o.model);
  MatrixRows result;
  switch (op) {
    case Op::Add:
    case Op::Sub: {
      const bool negate = op == Op::Sub;
      if (o.kind == Operand::Kind::Rows) {
        auto zero = [](std::size_t) { return 0.0; };
        result = self_left ? merged(mine, o.rows, negate, zero) : merged(o.rows, mine, negate, zero);
      } else if (self_left) {
        result = block_times(mine, 1.0, [&](std::size_t r) { return negate ? 0.0 - o.value(r) : 0.0 + o.value(r); });
      } else {
        result = block_times(mine, negate ? -1.0 : 1.0, [&](std::size_t r) { return 0.0 + o.value(r); });
      }
      break;
    }
    case Op::Mul:
    case Op::Div: {
      const auto factor = scale_factor(o, op, self_left, "Vars");
      if (!factor) Py_RETURN_NOTIMPLEMENTED;
      result = block_times(mine, *factor, [](std::size_t) { return 0.0; });
      break;
    }
  }
  return new_mlinexpr(std::move(result), model).release();
}

template <Op op>
PyObject* binary(PyObject* a, PyObject* b) noexcept {
  return guard<PyObject*>(nullptr, [&] { return arithmetic(a, b, op); });
}

template <Op op>
PyObject* block_binary(PyObject* a, PyObject* b) noexcept {
  return guard<PyObject*>(nullptr, [&] { return block_arithmetic(a, b, op); });
}

/// -x: every member times -1, as -Var.
PyObject* block_negative(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    const RowSource mine = RowSource::of_block(self);
    return new_mlinexpr(block_times(mine, -1.0, [](std::size_t) { return 0.0; }), as_vars(self)->model).release();
  });
}

/// -e: every coefficient and the constant negated, as combine({}, e, negate).
PyObject* negative(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    const MatrixRows& e = as_mlinexpr(self)->rows;
    MatrixRows out;
    out.starts = e.starts;
    out.vars = e.vars;
    out.coeffs.resize(e.coeffs.size());
    for (std::size_t k = 0; k < e.coeffs.size(); ++k) out.coeffs[k] = -e.coeffs[k];
    out.constants.resize(e.size());
    for (std::size_t r = 0; r < e.size(); ++r) out.constants[r] = -e.constants[r];
    return new_mlinexpr(std::move(out), as_mlinexpr(self)->model).release();
  });
}

// ---- comparisons -----------------------------------------------------------------------

kest::ScalarSetType::Kind set_kind(int op) {
  if (op == Py_GE) return kest::ScalarSetType::Kind::GreaterThan;
  if (op == Py_LE) return kest::ScalarSetType::Kind::LessThan;
  return kest::ScalarSetType::Kind::EqualTo;
}

const char* op_text(int op) { return op == Py_GE ? ">=" : op == Py_LE ? "<=" : "=="; }

/// The rows of the MLinExpr `terms` in sets of kind `kind` with bound 0, the
/// right-hand sides already moved into `constants` as the scalar comparisons
/// move them.
PyRef new_mconstr(PyRef terms, kest::SharedArray<double> constants, kest::ScalarSetType::Kind kind, ModelTag model) {
  auto* c = PyObject_New(MConstrObject, mconstr_type());
  if (!c) throw PyErrSet{};
  new (&c->terms) PyRef(std::move(terms));
  new (&c->constants) kest::SharedArray<double>(std::move(constants));
  new (&c->kinds) kest::Array<std::uint8_t>();
  new (&c->bounds) kest::SharedArray<double>();
  c->model = model;
  c->max_var = 0;
  PyRef owner = PyRef::steal(reinterpret_cast<PyObject*>(c));
  const std::size_t n = c->constants.size();
  c->kinds.assign(n, kest::RowKind::of(kest::ScalarSetType{kind, 0.0, 0.0}, false));
  c->bounds.assign(n, 0.0);
  std::uint32_t max_var = 0;
  for (auto v : c->rows().vars) max_var = v > max_var ? v : max_var;
  c->max_var = max_var;
  return owner;
}

PyObject* compare(PyObject* self_object, PyObject* other_object, int op) {
  const auto* self = as_mlinexpr(self_object);
  const MatrixRows& e = self->rows;
  const std::size_t n = e.size();
  const std::string what = std::string("MLinExpr ") + op_text(op);
  Operand o;
  if (!read_operand(other_object, n, what, o)) Py_RETURN_NOTIMPLEMENTED;
  const ModelTag model = join_models(self->model, o.model);
  // e <= inf and e >= -inf hold for every value; any other infinity none.
  check_values(o, n, what, [op](double v) { return op == Py_LE ? v > 0 : op == Py_GE ? v < 0 : false; });
  if (o.kind == Operand::Kind::Rows) {
    RowSource mine;
    mine.rows = &e;
    MatrixRows rows = merged(mine, o.rows, true, [&](std::size_t r) { return e.constants[r] - o.rows.constant(r); });
    // The constraint's constants are the new rows' own.
    auto constants = kest::SharedArray<double>::sharing(rows.constants.share());
    return new_mconstr(new_mlinexpr(std::move(rows), model), std::move(constants), set_kind(op), model).release();
  }
  // A number or vector brings no terms: the rows keep e's, and e's constants
  // too when the right-hand side is 0 (c - 0.0 is c, bit for bit).
  if (o.kind == Operand::Kind::Number && o.number == 0.0 && !std::signbit(o.number))
    return new_mconstr(PyRef::borrow(self_object), kest::SharedArray<double>::sharing(e.constants.share()),
                       set_kind(op), model)
        .release();
  kest::SharedArray<double> constants(n);
  for (std::size_t r = 0; r < n; ++r) constants[r] = e.constants[r] - o.value(r);
  return new_mconstr(PyRef::borrow(self_object), std::move(constants), set_kind(op), model).release();
}

PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    switch (op) {
      case Py_LT:
      case Py_GT:
        Py_RETURN_NOTIMPLEMENTED;
      case Py_NE:
        raise(PyExc_TypeError, "MLinExpr != is no constraint: write <=, >= or ==");
      default:
        return compare(self, other, op);
    }
  });
}

// ---- MLinExpr as a sequence of rows ----------------------------------------------------

Py_ssize_t mlinexpr_length(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(as_mlinexpr(self)->rows.size());
}

/// Row i as a LinExpr.
PyObject* mlinexpr_item(PyObject* self, Py_ssize_t i) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    const MatrixRows& e = as_mlinexpr(self)->rows;
    const auto n = static_cast<Py_ssize_t>(e.size());
    if (i < 0 || i >= n) raise(PyExc_IndexError, "MLinExpr row index out of range");
    PyRef o = new_linexpr(as_mlinexpr(self)->model);
    ScalarAffineFn& f = reinterpret_cast<LinExprObject*>(o.get())->fn;
    load_row(e, static_cast<std::size_t>(i), f.terms);
    f.constant = e.constants[static_cast<std::size_t>(i)];
    return o.release();
  });
}

PyObject* mlinexpr_get_shape(PyObject* self, void*) noexcept {
  return Py_BuildValue("(n)", mlinexpr_length(self));
}

PyObject* mlinexpr_get_nnz(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(as_mlinexpr(self)->rows.vars.size());
}

PyObject* mlinexpr_str(PyObject* self) noexcept {
  const MatrixRows& e = as_mlinexpr(self)->rows;
  return PyUnicode_FromFormat("MLinExpr(rows=%zu, nonzeros=%zu)", e.size(), e.vars.size());
}

void mlinexpr_dealloc(PyObject* self) {
  as_mlinexpr(self)->rows.~MatrixRows();
  PyObject_Free(self);
}

PyNumberMethods mlinexpr_as_number = [] {
  PyNumberMethods m{};
  m.nb_add = binary<Op::Add>;
  m.nb_subtract = binary<Op::Sub>;
  m.nb_multiply = binary<Op::Mul>;
  m.nb_true_divide = binary<Op::Div>;
  m.nb_negative = negative;
  return m;
}();

PySequenceMethods mlinexpr_as_sequence = [] {
  PySequenceMethods m{};
  m.sq_length = mlinexpr_length;
  m.sq_item = mlinexpr_item;
  return m;
}();

PyGetSetDef mlinexpr_getset[] = {
    {"shape", mlinexpr_get_shape, nullptr, "(rows,): one affine expression per row.", nullptr},
    {"nnz", mlinexpr_get_nnz, nullptr, "The number of terms over all rows.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- MConstr ---------------------------------------------------------------------------

MConstrObject* as_mconstr(PyObject* o) { return reinterpret_cast<MConstrObject*>(o); }

Py_ssize_t mconstr_length(PyObject* self) noexcept { return static_cast<Py_ssize_t>(as_mconstr(self)->constants.size()); }

PyObject* mconstr_str(PyObject* self) noexcept {
  const auto* c = as_mconstr(self);
  return PyUnicode_FromFormat("MConstr(rows=%zu, nonzeros=%zu)", c->constants.size(), c->rows().vars.size());
}

/// No truth value, as for Constr: `if A @ x <= b:` is a mistake.
int mconstr_bool(PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError,
                  "An MConstr has no truth value: add it with Model.addMConstrs or Model.addConstr");
  return -1;
}

void mconstr_dealloc(PyObject* self) {
  auto* c = as_mconstr(self);
  std::destroy_at(&c->bounds);
  std::destroy_at(&c->kinds);
  std::destroy_at(&c->constants);
  c->terms.~PyRef();
  PyObject_Free(self);
}

PyNumberMethods mconstr_as_number = [] {
  PyNumberMethods m{};
  m.nb_bool = mconstr_bool;
  return m;
}();

PySequenceMethods mconstr_as_sequence = [] {
  PySequenceMethods m{};
  m.sq_length = mconstr_length;
  return m;
}();

// ---- Vars @ ------------------------------------------------------------------------------

/// A @ x (an MLinExpr, or a LinExpr for a vector A) and x @ c (a LinExpr).
PyObject* vars_matmul(PyObject* a, PyObject* b) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const bool block_right = is_vars(b);
    PyObject* block = block_right ? b : a;
    PyObject* other = block_right ? a : b;
    if (is_model_object(other)) Py_RETURN_NOTIMPLEMENTED;
    const VarsObject* x = as_vars(block);
    const MatrixOperand A = read_matrix(other);
    const std::string block_shape = shape_text(x->shape);
    if (A.shape.size() == 1) {
      PyRef e = new_linexpr(x->model);
      terms_of_product(A, block_members(block), block_shape, reinterpret_cast<LinExprObject*>(e.get())->fn);
      return e.release();
    }
    if (!block_right)
      raise(PyExc_TypeError, "x @ A: a block times a matrix is not supported; write A.T @ x");
    if (A.shape.size() != 2)
      raise(PyExc_ValueError, "A @ x: A has shape " + shape_text(A.shape) + "; expected one or two dimensions");
    return new_mlinexpr(rows_of_product(A, block_members(block), block_shape), x->model).release();
  });
}

}  // namespace

PyNumberMethods vars_as_number = [] {
  PyNumberMethods m{};
  m.nb_matrix_multiply = vars_matmul;
  m.nb_add = block_binary<Op::Add>;
  m.nb_subtract = block_binary<Op::Sub>;
  m.nb_multiply = block_binary<Op::Mul>;
  m.nb_true_divide = block_binary<Op::Div>;
  m.nb_negative = block_negative;
  return m;
}();

PyTypeObject MLinExprType_ = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.MLinExpr";
  t.tp_basicsize = sizeof(MLinExprObject);
  t.tp_dealloc = mlinexpr_dealloc;
  t.tp_as_number = &mlinexpr_as_number;
  t.tp_as_sequence = &mlinexpr_as_sequence;
  t.tp_hash = PyObject_HashNotImplemented;
  t.tp_str = mlinexpr_str;
  t.tp_repr = mlinexpr_str;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_doc =
      "A vector of affine expressions, one per row: A @ x for a matrix A (numpy or scipy.sparse) and a block "
      "of variables x. Rows add and subtract row by row, take a number or a vector of one number per row, "
      "scale by a number; <=, >= and == with a number, a vector or another MLinExpr make an MConstr. "
      "e[i] is row i as a LinExpr.";
  t.tp_richcompare = richcompare;
  t.tp_getset = mlinexpr_getset;
  t.tp_free = PyObject_Free;
  return t;
}();

PyTypeObject MConstrType_ = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.MConstr";
  t.tp_basicsize = sizeof(MConstrObject);
  t.tp_dealloc = mconstr_dealloc;
  t.tp_as_number = &mconstr_as_number;
  t.tp_as_sequence = &mconstr_as_sequence;
  t.tp_str = mconstr_str;
  t.tp_repr = mconstr_str;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_doc =
      "A block of constraints, one per row of an MLinExpr compared with a right-hand side; "
      "Model.addMConstrs adds it in one call.";
  t.tp_free = PyObject_Free;
  return t;
}();

void defer_numpy_operators(PyTypeObject* type) {
  check_status(PyDict_SetItemString(type->tp_dict, "__array_ufunc__", Py_None));
  PyType_Modified(type);
}

PyTypeObject* mlinexpr_type() {
  if (!MLinExprType_.tp_dict) {
    check_status(PyType_Ready(&MLinExprType_));
    defer_numpy_operators(&MLinExprType_);
  }
  return &MLinExprType_;
}

PyTypeObject* mconstr_type() {
  if (!MConstrType_.tp_dict) {
    check_status(PyType_Ready(&MConstrType_));
    defer_numpy_operators(&MConstrType_);
  }
  return &MConstrType_;
}

PyRef new_mlinexpr(MatrixRows rows, ModelTag model) {
  auto* o = PyObject_New(MLinExprObject, mlinexpr_type());
  if (!o) throw PyErrSet{};
  new (&o->rows) MatrixRows(std::move(rows));
  o->model = model;
  return PyRef::steal(reinterpret_cast<PyObject*>(o));
}

}  // namespace kestpy
