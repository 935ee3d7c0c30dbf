// LinExpr and Constr, and the operators of Var and LinExpr that build them.
//
// Every operator result is simplified exactly as calculate() would leave it:
// the operators call the core's combine() and scale(), the arithmetic that
// calculate() itself runs, and choose only the constant and the model tag.
#include "kestpy/model_files.h"
#include "kestpy/expr.h"

#include <new>
#include <string>

#include "core/debug_text.h"
#include "kestpy/args.h"
#include "kestpy/free_list.h"
#include "kestpy/objects.h"

namespace kestpy {

namespace {

using kest::AffineTerm;
using kest::ScalarAffineFn;
using kest::ScalarSetType;
using kest::Terms;

// ---- operands ----------------------------------------------------------------

enum class Kind { Number, Var, LinExpr, Other };

/// Classifies an operand as number, Var, LinExpr or other, in that order. Var
/// and LinExpr have no float conversion, so testing their exact types first
/// gives the same answer without a failed conversion.
Kind classify(PyObject* o, double& number) {
  if (PyFloat_CheckExact(o)) {
    number = PyFloat_AS_DOUBLE(o);
    return Kind::Number;
  }
  if (is_var(o)) return Kind::Var;
  if (is_linexpr(o)) return Kind::LinExpr;
  return try_double(o, number) ? Kind::Number : Kind::Other;
}

/// The left operand of a reflected operation is only ever tried as a number.
bool as_number(PyObject* o, double& number) { return classify(o, number) == Kind::Number; }

kest::VarId var_id(PyObject* o) { return reinterpret_cast<VarObject*>(o)->id; }
const ScalarAffineFn& fn_of(PyObject* o) { return reinterpret_cast<LinExprObject*>(o)->fn; }

Terms terms_of(const ScalarAffineFn& f) { return Terms(f.terms); }

ModelTag model_of(PyObject* o) {
  return is_var(o) ? reinterpret_cast<VarObject*>(o)->model : reinterpret_cast<LinExprObject*>(o)->model;
}

ScalarAffineFn& affine_of(ConstrObject* c) { return std::get<ScalarAffineFn>(c->fn.value); }

// Results are written straight into the new object's function, whose term
// storage may be a recycled instance's.

/// A LinExpr of a + b (a - b) with the given constant.
PyObject* linexpr_sum(Terms a, Terms b, bool negate_b, double constant, ModelTag model) {
  PyRef o = new_linexpr(model);
  kest::combine(a, b, negate_b, constant, reinterpret_cast<LinExprObject*>(o.get())->fn);
  return o.release();
}

/// A LinExpr of a's terms times factor with the given constant.
PyObject* linexpr_scaled(Terms a, double factor, double constant, ModelTag model) {
  PyRef o = new_linexpr(model);
  kest::scale(a, factor, constant, reinterpret_cast<LinExprObject*>(o.get())->fn);
  return o.release();
}

// ---- Var ---------------------------------------------------------------------

enum class Op { Add, Sub, Mul, Div };

[[noreturn]] void unsupported(Op op, const char* type) {
  static constexpr const char* kWords[] = {"addition", "subtraction", "multiplication", "division"};
  throw kest::Fault(std::string("Unsupported type for ") + kWords[static_cast<int>(op)] + " with " + type);
}

/// 1 / c for a division by c: the quotient is the product with the
/// reciprocal, bit for bit. As with floats, there is no division by zero.
double reciprocal(double c, const char* type) {
  if (c == 0.0) raise(PyExc_ZeroDivisionError, std::string(type) + " division by zero");
  return 1.0 / c;
}

/// x * c for a Var x: no constant to scale, so the result's is 0.0; the
/// coefficient is c itself, not a product.
PyObject* var_times(kest::VarId x, double c, ModelTag model) {
  PyRef o = new_linexpr(model);
  reinterpret_cast<LinExprObject*>(o.get())->fn.push_term(x, c);
  return o.release();
}

/// x + c, or c - x when `negate`.
PyObject* var_plus(kest::VarId x, bool negate, double constant, ModelTag model) {
  PyRef o = new_linexpr(model);
  ScalarAffineFn& fn = reinterpret_cast<LinExprObject*>(o.get())->fn;
  fn.terms.push_back(AffineTerm{x, negate ? -1.0 : 1.0});
  fn.constant = constant;
  return o.release();
}

PyObject* var_left(PyObject* self, PyObject* r, Op op) {
  const AffineTerm x[1] = {AffineTerm{var_id(self), 1.0}};
  const ModelTag model = model_of(self);
  double c = 0.0;
  switch (classify(r, c)) {
    case Kind::Number:
      switch (op) {
        case Op::Add: return var_plus(x[0].var, false, 0.0 + c, model);
        case Op::Sub: return var_plus(x[0].var, false, 0.0 - c, model);
        case Op::Mul: return var_times(x[0].var, c, model);
        case Op::Div: return var_times(x[0].var, reciprocal(c, "Var"), model);
      }
      break;
    case Kind::Var: {
      const AffineTerm y[1] = {AffineTerm{var_id(r), 1.0}};
      if (op == Op::Add) return linexpr_sum(x, y, false, 0.0, join_models(model, model_of(r)));
      if (op == Op::Sub) return linexpr_sum(x, y, true, 0.0, join_models(model, model_of(r)));
      if (op == Op::Mul) throw kest::Fault("Multiplication of two variables is not supported in linear expressions");
      break;
    }
    case Kind::LinExpr: {
      const ScalarAffineFn& f = fn_of(r);
      if (op == Op::Add) return linexpr_sum(x, terms_of(f), false, 0.0 + f.constant, join_models(model, model_of(r)));
      if (op == Op::Sub) return linexpr_sum(x, terms_of(f), true, 0.0 - f.constant, join_models(model, model_of(r)));
      if (op == Op::Mul)
        throw kest::Fault("Multiplication of a variable with a linear expression is not supported in linear expressions");
      break;
    }
    case Kind::Other:
      break;
  }
  unsupported(op, "Var");
}

PyObject* var_right(PyObject* l, PyObject* self, Op op) {
  const kest::VarId x = var_id(self);
  const ModelTag model = model_of(self);
  double c = 0.0;
  if (as_number(l, c)) {
    switch (op) {
      case Op::Add: return var_plus(x, false, 0.0 + c, model);
      case Op::Sub: return var_plus(x, true, 0.0 + c, model);
      case Op::Mul: return var_times(x, c, model);
      case Op::Div: break;  // a number over a variable is not linear
    }
  }
  unsupported(op, "Var");
}

/// -x is x * -1.
PyObject* var_negative(PyObject* self) { return var_times(var_id(self), -1.0, model_of(self)); }

// ---- LinExpr -------------------------------------------------------------------

PyObject* linexpr_left(PyObject* self, PyObject* r, Op op) {
  const ScalarAffineFn& e = fn_of(self);
  const ModelTag model = model_of(self);
  double c = 0.0;
  switch (classify(r, c)) {
    case Kind::Number:
      switch (op) {
        case Op::Add: return linexpr_sum(terms_of(e), {}, false, e.constant + c, model);
        case Op::Sub: return linexpr_sum(terms_of(e), {}, false, e.constant - c, model);
        case Op::Mul: return linexpr_scaled(terms_of(e), c, c * e.constant, model);
        case Op::Div: {
          const double f = reciprocal(c, "LinExpr");
          return linexpr_scaled(terms_of(e), f, f * e.constant, model);
        }
      }
      break;
    case Kind::Var: {
      const AffineTerm y[1] = {AffineTerm{var_id(r), 1.0}};
      const ModelTag joined = join_models(model, model_of(r));
      if (op == Op::Add) return linexpr_sum(terms_of(e), y, false, e.constant, joined);
      if (op == Op::Sub) return linexpr_sum(terms_of(e), y, true, e.constant, joined);
      break;
    }
    case Kind::LinExpr: {
      const ScalarAffineFn& f = fn_of(r);
      const ModelTag joined = join_models(model, model_of(r));
      if (op == Op::Add) return linexpr_sum(terms_of(e), terms_of(f), false, e.constant + f.constant, joined);
      if (op == Op::Sub) return linexpr_sum(terms_of(e), terms_of(f), true, e.constant - f.constant, joined);
      break;
    }
    case Kind::Other:
      break;
  }
  unsupported(op, "LinExpr");
}

PyObject* linexpr_right(PyObject* l, PyObject* self, Op op) {
  const ScalarAffineFn& e = fn_of(self);
  const ModelTag model = model_of(self);
  double c = 0.0;
  if (as_number(l, c)) {
    switch (op) {
      case Op::Add: return linexpr_sum(terms_of(e), {}, false, e.constant + c, model);
      case Op::Sub: return linexpr_sum({}, terms_of(e), true, c - e.constant, model);
      case Op::Mul: return linexpr_scaled(terms_of(e), c, c * e.constant, model);
      case Op::Div: break;  // a number over an expression is not linear
    }
  }
  unsupported(op, "LinExpr");
}

/// -e negates every coefficient and the constant (a NaN's sign flips, as in
/// subtraction): e * -1 up to the signs of NaNs.
PyObject* linexpr_negative(PyObject* self) {
  const ScalarAffineFn& e = fn_of(self);
  return linexpr_sum({}, terms_of(e), true, -e.constant, model_of(self));
}

// ---- number slots --------------------------------------------------------------

using Operation = PyObject* (*)(PyObject*, PyObject*, Op);
using Negation = PyObject* (*)(PyObject*);

/// A binary slot of a class. The interpreter passes the operands in source
/// order; one of them is an instance of the class.
template <bool (*Is)(PyObject*), Operation Left, Operation Right, Op op>
PyObject* binary(PyObject* a, PyObject* b) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    if (Is(a)) return Left(a, b, op);
    if (Is(b)) return Right(a, b, op);
    Py_RETURN_NOTIMPLEMENTED;
  });
}

template <Negation Negative>
PyObject* negative(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&] { return Negative(self); });
}

template <bool (*Is)(PyObject*), Operation Left, Operation Right, Negation Negative>
PyNumberMethods number_methods() {
  PyNumberMethods m{};
  m.nb_add = binary<Is, Left, Right, Op::Add>;
  m.nb_subtract = binary<Is, Left, Right, Op::Sub>;
  m.nb_multiply = binary<Is, Left, Right, Op::Mul>;
  m.nb_true_divide = binary<Is, Left, Right, Op::Div>;
  m.nb_negative = negative<Negative>;
  return m;
}

// ---- comparisons ---------------------------------------------------------------

ScalarSetType make_set(int op, double value) {
  if (op == Py_GE) return ScalarSetType::greater_than(value);
  if (op == Py_LE) return ScalarSetType::less_than(value);
  return ScalarSetType::equal_to(value);
}

/// `s != r` is the negated truth of the interpreter's `s == r`. A Constr has
/// none, so for supported operands this raises constr_bool's TypeError.
PyObject* not_equal(PyObject* s, PyObject* r) {
  PyRef eq = check(PyObject_RichCompare(s, r, Py_EQ));
  const int truth = check_status(PyObject_IsTrue(eq.get()));
  return PyBool_FromLong(!truth);
}

/// A Constr of a + b (a - b) with the given constant, in the set that op and
/// value make.
PyObject* constr(Terms a, Terms b, bool negate_b, double constant, int op, double value, ModelTag model) {
  PyRef o = new_constr(make_set(op, value), model);
  kest::combine(a, b, negate_b, constant, affine_of(reinterpret_cast<ConstrObject*>(o.get())));
  return o.release();
}

PyObject* var_compare(PyObject* self, PyObject* r, int op) {
  const AffineTerm x[1] = {AffineTerm{var_id(self), 1.0}};
  const ModelTag model = model_of(self);
  double c = 0.0;
  switch (classify(r, c)) {
    case Kind::Number:
      // The only comparison that moves the other operand into the set.
      return constr(x, {}, false, 0.0, op, c, model);
    case Kind::Var: {
      const AffineTerm y[1] = {AffineTerm{var_id(r), 1.0}};
      return constr(x, y, true, 0.0, op, 0.0, join_models(model, model_of(r)));
    }
    case Kind::LinExpr: {
      const ScalarAffineFn& f = fn_of(r);
      return constr(x, terms_of(f), true, 0.0 - f.constant, op, 0.0, join_models(model, model_of(r)));
    }
    case Kind::Other:
      break;
  }
  throw kest::Fault("Unsupported type for comparison with Var");
}

PyObject* linexpr_compare(PyObject* self, PyObject* r, int op) {
  const ScalarAffineFn& e = fn_of(self);
  const ModelTag model = model_of(self);
  double c = 0.0;
  switch (classify(r, c)) {
    case Kind::Number:
      return constr(terms_of(e), {}, false, e.constant - c, op, 0.0, model);
    case Kind::Var: {
      const AffineTerm y[1] = {AffineTerm{var_id(r), 1.0}};
      return constr(terms_of(e), y, true, e.constant, op, 0.0, join_models(model, model_of(r)));
    }
    case Kind::LinExpr: {
      const ScalarAffineFn& f = fn_of(r);
      return constr(terms_of(e), terms_of(f), true, e.constant - f.constant, op, 0.0, join_models(model, model_of(r)));
    }
    case Kind::Other:
      break;
  }
  throw kest::Fault("Unsupported type for comparison with LinExpr");
}

template <PyObject* (*Compare)(PyObject*, PyObject*, int)>
PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    switch (op) {
      case Py_LT:
      case Py_GT:
        Py_RETURN_NOTIMPLEMENTED;
      case Py_NE:
        return not_equal(self, other);
      default:
        return Compare(self, other, op);
    }
  });
}

/// A Constr is neither true nor false: whoever asks has almost always made a
/// mistake that would otherwise drop a constraint silently.
int constr_bool(PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError,
                  "A Constr has no truth value. A chained comparison such as 2 <= x <= 5 keeps only one of its "
                  "parts: write it as two constraints. ==, != and 'in' between variables or expressions build "
                  "constraints; they do not compare the variables");
  return -1;
}

// ---- type objects ---------------------------------------------------------------

// A recycled LinExpr or Constr keeps its term storage up to this many terms
// (4 KiB), enough for the rows of most models.
constexpr std::size_t kKeptTerms = 256;

FreeList<LinExprObject> free_linexprs;
FreeList<ConstrObject> free_constrs;

void linexpr_dealloc(PyObject* self) {
  auto* o = reinterpret_cast<LinExprObject*>(self);
  if (o->fn.terms.capacity() <= kKeptTerms && free_linexprs.give(o)) {
    o->fn.terms.clear();
    return;
  }
  o->fn.~ScalarAffineFn();
  PyObject_Free(self);
}

PyObject* linexpr_str(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    const std::string text = kest::debug_text(fn_of(self));
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).release();
  });
}

PyNumberMethods linexpr_as_number = number_methods<is_linexpr, linexpr_left, linexpr_right, linexpr_negative>();

PyNumberMethods constr_as_number = [] {
  PyNumberMethods m{};
  m.nb_bool = constr_bool;
  return m;
}();

void constr_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<ConstrObject*>(self);
  auto* f = std::get_if<ScalarAffineFn>(&c->fn.value);
  if (f && f->terms.capacity() <= kKeptTerms && free_constrs.give(c)) {
    f->terms.clear();
    return;
  }
  c->fn.~ScalarFunctionType();
  c->set.~ScalarSetType();
  PyObject_Free(self);
}

}  // namespace

PyObject* var_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return richcompare<var_compare>(self, other, op);
}

PyNumberMethods var_as_number = number_methods<is_var, var_left, var_right, var_negative>();

PyTypeObject LinExprType_ = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.LinExpr";
  t.tp_basicsize = sizeof(LinExprObject);
  t.tp_dealloc = linexpr_dealloc;
  t.tp_as_number = &linexpr_as_number;
  t.tp_hash = PyObject_HashNotImplemented;
  t.tp_str = linexpr_str;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_richcompare = richcompare<linexpr_compare>;
  t.tp_methods = linexpr_methods;
  t.tp_free = PyObject_Free;
  return t;
}();

PyTypeObject ConstrType_ = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.Constr";
  t.tp_basicsize = sizeof(ConstrObject);
  t.tp_dealloc = constr_dealloc;
  t.tp_as_number = &constr_as_number;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_methods = constr_methods;
  t.tp_free = PyObject_Free;
  return t;
}();

PyTypeObject* linexpr_type() {
  if (!LinExprType_.tp_dict) check_status(PyType_Ready(&LinExprType_));
  return &LinExprType_;
}

PyTypeObject* constr_type() {
  if (!ConstrType_.tp_dict) check_status(PyType_Ready(&ConstrType_));
  return &ConstrType_;
}

PyRef new_linexpr(ModelTag model) {
  LinExprObject* o = free_linexprs.take(&LinExprType_);
  if (o) {
    o->fn.constant = 0.0;  // and no terms, since it was freed
  } else {
    o = PyObject_New(LinExprObject, linexpr_type());
    if (!o) throw PyErrSet{};
    new (&o->fn) ScalarAffineFn();
  }
  o->model = model;
  return PyRef::steal(reinterpret_cast<PyObject*>(o));
}

PyRef new_constr(kest::ScalarSetType set, ModelTag model) {
  ConstrObject* o = free_constrs.take(&ConstrType_);
  if (o) {
    affine_of(o).constant = 0.0;  // and no terms, since it was freed
    o->set = set;
  } else {
    o = PyObject_New(ConstrObject, constr_type());
    if (!o) throw PyErrSet{};
    new (&o->fn) kest::ScalarFunctionType(ScalarAffineFn());
    new (&o->set) ScalarSetType(set);
  }
  o->model = model;
  return PyRef::steal(reinterpret_cast<PyObject*>(o));
}

void require_model_of(ModelObject* m, PyObject* o, const char* where, const char* what) {
  const ModelTag got =
      is_constr(o) ? reinterpret_cast<ConstrObject*>(o)->model : reinterpret_cast<LinExprObject*>(o)->model;
  require_model(cell_tag(m->cell.get()), got, where, what);
}

}  // namespace kestpy
