// LinExpr and Constr, and the operators of Var and LinExpr that build them.
//
// Every operator result is simplified exactly as calculate() would leave it.
// Operands made by operators are already simplified, so most results come
// from one linear merge of two sorted term lists instead of concatenating,
// sorting and merging; an operand from quicksum (possibly unsorted) takes the
// general path.
#include "kestpy/expr.h"

#include <new>
#include <span>
#include <string>

#include "core/debug_text.h"
#include "kestpy/args.h"
#include "kestpy/objects.h"

namespace kestpy {

namespace {

using kest::AffineTerm;
using kest::ScalarAffineFn;
using kest::ScalarSetType;
using Terms = std::span<const AffineTerm>;

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

// ---- term arithmetic -----------------------------------------------------------

bool simplified(Terms t) {
  for (std::size_t i = 0; i < t.size(); ++i)
    if (t[i].coeff == 0.0 || (i > 0 && !(t[i - 1].var < t[i].var))) return false;
  return true;
}

/// a + b, or a - b when `negate_b`, with the given constant, simplified: the
/// terms of a in front of those of b, as calculate(Add/Sub) and
/// push_term-then-simplify produce. Subtraction negates b's coefficients
/// (a NaN's sign flips too) rather than multiplying them by -1.
ScalarAffineFn combine(Terms a, Terms b, bool negate_b, double constant) {
  const auto term_b = [negate_b](const AffineTerm& t) { return negate_b ? -t.coeff : t.coeff; };
  ScalarAffineFn out;
  out.constant = constant;
  out.terms.reserve(a.size() + b.size());
  if (simplified(a) && simplified(b)) {
    // Stable sort plus left-to-right merge of two sorted, duplicate-free lists
    // is a plain merge in which a's coefficient comes first.
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
      if (a[i].var < b[j].var) {
        out.terms.push_back(a[i++]);
      } else if (b[j].var < a[i].var) {
        out.terms.push_back(AffineTerm{b[j].var, term_b(b[j])});
        ++j;
      } else {
        const double c = a[i].coeff + term_b(b[j]);
        if (c != 0.0) out.terms.push_back(AffineTerm{a[i].var, c});
        ++i;
        ++j;
      }
    }
    out.terms.insert(out.terms.end(), a.begin() + static_cast<std::ptrdiff_t>(i), a.end());
    for (; j < b.size(); ++j) out.terms.push_back(AffineTerm{b[j].var, term_b(b[j])});
    return out;
  }
  for (const auto& t : a)
    if (t.coeff != 0.0) out.terms.push_back(t);
  for (const auto& t : b) {
    const double c = term_b(t);
    if (c != 0.0) out.terms.push_back(AffineTerm{t.var, c});
  }
  out.simplify();
  return out;
}

/// Every coefficient of a times factor, as calculate(Mul) with a constant.
ScalarAffineFn scale(Terms a, double factor, double constant) {
  ScalarAffineFn out;
  out.constant = constant;
  out.terms.reserve(a.size());
  for (const auto& t : a) {
    const double c = t.coeff * factor;
    if (c != 0.0) out.terms.push_back(AffineTerm{t.var, c});
  }
  out.simplify();  // a no-op unless a came unsorted from quicksum
  return out;
}

Terms terms_of(const ScalarAffineFn& f) { return Terms(f.terms); }

PyObject* linexpr(ScalarAffineFn fn) { return new_linexpr(std::move(fn)).release(); }

// ---- Var ---------------------------------------------------------------------

enum class Op { Add, Sub, Mul };

[[noreturn]] void unsupported(Op op, const char* type) {
  const char* what = op == Op::Add ? "addition" : op == Op::Sub ? "subtraction" : "multiplication";
  throw kest::Fault(std::string("Unsupported type for ") + what + " with " + type);
}

PyObject* var_left(PyObject* self, PyObject* r, Op op) {
  const AffineTerm x[1] = {AffineTerm{var_id(self), 1.0}};
  double c = 0.0;
  switch (classify(r, c)) {
    case Kind::Number:
      switch (op) {
        case Op::Add: return linexpr(ScalarAffineFn({x[0]}, 0.0 + c));
        case Op::Sub: return linexpr(ScalarAffineFn({x[0]}, 0.0 - c));
        case Op::Mul: {
          ScalarAffineFn out;
          out.push_term(x[0].var, c);
          return linexpr(std::move(out));
        }
      }
      break;
    case Kind::Var: {
      const AffineTerm y[1] = {AffineTerm{var_id(r), 1.0}};
      if (op == Op::Add) return linexpr(combine(x, y, false, 0.0));
      if (op == Op::Sub) return linexpr(combine(x, y, true, 0.0));
      throw kest::Fault("Multiplication of two variables is not supported in linear expressions");
    }
    case Kind::LinExpr: {
      const ScalarAffineFn& f = fn_of(r);
      if (op == Op::Add) return linexpr(combine(x, terms_of(f), false, 0.0 + f.constant));
      if (op == Op::Sub) return linexpr(combine(x, terms_of(f), true, 0.0 - f.constant));
      throw kest::Fault("Multiplication of a variable with a linear expression is not supported in linear expressions");
    }
    case Kind::Other:
      break;
  }
  unsupported(op, "Var");
}

PyObject* var_right(PyObject* l, PyObject* self, Op op) {
  const kest::VarId x = var_id(self);
  double c = 0.0;
  if (as_number(l, c)) {
    switch (op) {
      case Op::Add: return linexpr(ScalarAffineFn({AffineTerm{x, 1.0}}, 0.0 + c));
      case Op::Sub: return linexpr(ScalarAffineFn({AffineTerm{x, -1.0}}, 0.0 + c));
      case Op::Mul: {
        ScalarAffineFn out;
        out.push_term(x, c);
        return linexpr(std::move(out));
      }
    }
  }
  unsupported(op, "Var");
}

// ---- LinExpr -------------------------------------------------------------------

PyObject* linexpr_left(PyObject* self, PyObject* r, Op op) {
  const ScalarAffineFn& e = fn_of(self);
  double c = 0.0;
  switch (classify(r, c)) {
    case Kind::Number:
      switch (op) {
        case Op::Add: return linexpr(combine(terms_of(e), {}, false, e.constant + c));
        case Op::Sub: return linexpr(combine(terms_of(e), {}, false, e.constant - c));
        case Op::Mul: return linexpr(scale(terms_of(e), c, c * e.constant));
      }
      break;
    case Kind::Var: {
      const AffineTerm y[1] = {AffineTerm{var_id(r), 1.0}};
      if (op == Op::Add) return linexpr(combine(terms_of(e), y, false, e.constant));
      if (op == Op::Sub) return linexpr(combine(terms_of(e), y, true, e.constant));
      break;
    }
    case Kind::LinExpr: {
      const ScalarAffineFn& f = fn_of(r);
      if (op == Op::Add) return linexpr(combine(terms_of(e), terms_of(f), false, e.constant + f.constant));
      if (op == Op::Sub) return linexpr(combine(terms_of(e), terms_of(f), true, e.constant - f.constant));
      break;
    }
    case Kind::Other:
      break;
  }
  unsupported(op, "LinExpr");
}

PyObject* linexpr_right(PyObject* l, PyObject* self, Op op) {
  const ScalarAffineFn& e = fn_of(self);
  double c = 0.0;
  if (as_number(l, c)) {
    switch (op) {
      case Op::Add: return linexpr(combine(terms_of(e), {}, false, e.constant + c));
      case Op::Sub: return linexpr(combine({}, terms_of(e), true, c - e.constant));
      case Op::Mul: return linexpr(scale(terms_of(e), c, c * e.constant));
    }
  }
  unsupported(op, "LinExpr");
}

// ---- number slots --------------------------------------------------------------

using Operation = PyObject* (*)(PyObject*, PyObject*, Op);

/// nb_add, nb_subtract or nb_multiply of a class. The interpreter passes the
/// operands in source order; one of them is an instance of the class.
template <bool (*Is)(PyObject*), Operation Left, Operation Right, Op op>
PyObject* binary(PyObject* a, PyObject* b) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    if (Is(a)) return Left(a, b, op);
    if (Is(b)) return Right(a, b, op);
    Py_RETURN_NOTIMPLEMENTED;
  });
}

template <bool (*Is)(PyObject*), Operation Left, Operation Right>
PyNumberMethods number_methods() {
  PyNumberMethods m{};
  m.nb_add = binary<Is, Left, Right, Op::Add>;
  m.nb_subtract = binary<Is, Left, Right, Op::Sub>;
  m.nb_multiply = binary<Is, Left, Right, Op::Mul>;
  return m;
}

// ---- comparisons ---------------------------------------------------------------

ScalarSetType make_set(int op, double value) {
  if (op == Py_GE) return ScalarSetType::greater_than(value);
  if (op == Py_LE) return ScalarSetType::less_than(value);
  return ScalarSetType::equal_to(value);
}

/// `s != r` is the negated truth of the interpreter's `s == r`.
PyObject* not_equal(PyObject* s, PyObject* r) {
  PyRef eq = check(PyObject_RichCompare(s, r, Py_EQ));
  const int truth = check_status(PyObject_IsTrue(eq.get()));
  return PyBool_FromLong(!truth);
}

PyObject* constr(ScalarAffineFn fn, int op, double value) {
  return new_constr(kest::ScalarFunctionType(std::move(fn)), make_set(op, value)).release();
}

PyObject* var_compare(PyObject* self, PyObject* r, int op) {
  const AffineTerm x[1] = {AffineTerm{var_id(self), 1.0}};
  double c = 0.0;
  switch (classify(r, c)) {
    case Kind::Number:
      // The only comparison that moves the other operand into the set.
      return constr(ScalarAffineFn({x[0]}, 0.0), op, c);
    case Kind::Var: {
      const AffineTerm y[1] = {AffineTerm{var_id(r), 1.0}};
      return constr(combine(x, y, true, 0.0), op, 0.0);
    }
    case Kind::LinExpr: {
      const ScalarAffineFn& f = fn_of(r);
      return constr(combine(x, terms_of(f), true, 0.0 - f.constant), op, 0.0);
    }
    case Kind::Other:
      break;
  }
  throw kest::Fault("Unsupported type for comparison with Var");
}

PyObject* linexpr_compare(PyObject* self, PyObject* r, int op) {
  const ScalarAffineFn& e = fn_of(self);
  double c = 0.0;
  switch (classify(r, c)) {
    case Kind::Number:
      return constr(combine(terms_of(e), {}, false, e.constant - c), op, 0.0);
    case Kind::Var: {
      const AffineTerm y[1] = {AffineTerm{var_id(r), 1.0}};
      return constr(combine(terms_of(e), y, true, e.constant), op, 0.0);
    }
    case Kind::LinExpr: {
      const ScalarAffineFn& f = fn_of(r);
      return constr(combine(terms_of(e), terms_of(f), true, e.constant - f.constant), op, 0.0);
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

// ---- type objects ---------------------------------------------------------------

void linexpr_dealloc(PyObject* self) {
  reinterpret_cast<LinExprObject*>(self)->fn.~ScalarAffineFn();
  PyObject_Free(self);
}

PyObject* linexpr_str(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    const std::string text = kest::debug_text(fn_of(self));
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).release();
  });
}

PyNumberMethods linexpr_as_number = number_methods<is_linexpr, linexpr_left, linexpr_right>();

void constr_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<ConstrObject*>(self);
  c->fn.~ScalarFunctionType();
  c->set.~ScalarSetType();
  PyObject_Free(self);
}

}  // namespace

PyObject* var_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return richcompare<var_compare>(self, other, op);
}

PyNumberMethods var_as_number = number_methods<is_var, var_left, var_right>();

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
  t.tp_free = PyObject_Free;
  return t;
}();

PyTypeObject ConstrType_ = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.Constr";
  t.tp_basicsize = sizeof(ConstrObject);
  t.tp_dealloc = constr_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
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

PyRef new_linexpr(kest::ScalarAffineFn fn) {
  auto* o = PyObject_New(LinExprObject, linexpr_type());
  if (!o) throw PyErrSet{};
  new (&o->fn) ScalarAffineFn(std::move(fn));
  return PyRef::steal(reinterpret_cast<PyObject*>(o));
}

PyRef new_constr(kest::ScalarFunctionType fn, kest::ScalarSetType set) {
  auto* o = PyObject_New(ConstrObject, constr_type());
  if (!o) throw PyErrSet{};
  new (&o->fn) kest::ScalarFunctionType(std::move(fn));
  new (&o->set) ScalarSetType(set);
  return PyRef::steal(reinterpret_cast<PyObject*>(o));
}

}  // namespace kestpy
