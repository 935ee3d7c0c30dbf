// quicksum: the accumulation path for long sums.
//
// Var items are appended without sorting. A LinExpr or number item leaves the
// whole accumulator simplified as calculate(acc, item, Add) would; rather than
// simplifying after each such item, the accumulator remembers how far the
// last one reached and simplifies that prefix once at the end. The result is
// the same: simplify(simplify(A) + B) equals simplify(A + B) term for term,
// because coefficients of one variable are summed left to right either way
// and adding a dropped zero to a non-zero coefficient changes nothing. This
// keeps a sum of n one-term expressions linear instead of quadratic.
#include <new>
#include <span>

#include "kestpy/args.h"
#include "kestpy/docs.h"
#include "kestpy/expr.h"
#include "kestpy/objects.h"

namespace kestpy {

namespace {

/// Sums into the function of the LinExpr it will return, which may be a
/// recycled one whose term storage is already large enough.
class Accumulator {
 public:
  Accumulator() : result_(new_linexpr(kNoModel)), fn_(reinterpret_cast<LinExprObject*>(result_.get())->fn) {}

  void reserve(std::size_t n) { fn_.terms.reserve(n); }

  void add_var(PyObject* v) {
    const auto* var = reinterpret_cast<VarObject*>(v);
    join(var->model);
    fn_.terms.push_back(kest::AffineTerm{var->id, 1.0});
  }

  /// The members of a block, as iterating it yields them, without a Var each.
  void add_block(PyObject* b) {
    join(reinterpret_cast<VarsObject*>(b)->model);
    const MemberIds ids = block_members(b);
    fn_.terms.reserve(fn_.terms.size() + ids.size());
    for (std::size_t p = 0; p < ids.size(); ++p) fn_.terms.push_back(kest::AffineTerm{ids[p], 1.0});
  }

  void add_linexpr(PyObject* e) {
    const auto* expr = reinterpret_cast<LinExprObject*>(e);
    join(expr->model);
    const kest::ScalarAffineFn& f = expr->fn;
    for (const auto& t : f.terms)
      if (t.coeff != 0.0) fn_.terms.push_back(t);
    fn_.constant = fn_.constant + f.constant;
    simplified_upto_ = fn_.terms.size();
  }

  void add_number(double c) {
    fn_.constant = fn_.constant + c;
    simplified_upto_ = fn_.terms.size();
  }

  /// Adds one item of any kind; false when the item is none of them.
  bool add(PyObject* item) {
    if (is_linexpr(item)) {
      add_linexpr(item);
    } else if (is_var(item)) {
      add_var(item);
    } else {
      double c;
      if (!try_double(item, c)) return false;
      add_number(c);
    }
    return true;
  }

  /// The LinExpr of the sum.
  PyRef finish() && {
    reinterpret_cast<LinExprObject*>(result_.get())->model = model_;
    if (simplified_upto_ == 0) return std::move(result_);
    if (simplified_upto_ == fn_.terms.size()) {
      fn_.simplify();
      return std::move(result_);
    }
    // Simplify the part the last LinExpr or number item covered; the Var
    // terms after it stay as they arrived.
    kest::ScalarAffineFn head;
    head.terms.assign(fn_.terms.begin(), fn_.terms.begin() + static_cast<std::ptrdiff_t>(simplified_upto_));
    head.simplify();
    head.terms.insert(head.terms.end(), fn_.terms.begin() + static_cast<std::ptrdiff_t>(simplified_upto_),
                      fn_.terms.end());
    head.constant = fn_.constant;
    fn_ = std::move(head);
    return std::move(result_);
  }

 private:
  void join(ModelTag m) {
    if (m != model_) [[unlikely]]
      model_ = join_models(model_, m);
  }

  PyRef result_;
  kest::ScalarAffineFn& fn_;
  std::size_t simplified_upto_ = 0;
  ModelTag model_ = kNoModel;
};

[[noreturn]] void bad_item() { raise(PyExc_TypeError, "Item is not a LinExpr, Var, or f64"); }

/// A list or tuple, read by position. The length is read again at every step
/// because a __float__ of some item may change the list; such an item is held
/// while it runs, Var and LinExpr items run no Python code.
void sum_sequence(Accumulator& acc, PyObject* seq) {
  const bool list = PyList_CheckExact(seq);
  auto size = [&] { return list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq); };
  acc.reserve(static_cast<std::size_t>(size()));
  for (Py_ssize_t i = 0; i < size(); ++i) {
    PyObject* item = list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
    if (is_var(item)) {
      acc.add_var(item);
    } else if (is_linexpr(item)) {
      acc.add_linexpr(item);
    } else {
      PyRef held = PyRef::borrow(item);
      if (!acc.add(held.get())) bad_item();
    }
  }
}

void sum_iterable(Accumulator& acc, PyObject* iterable) {
  PyRef it = check(PyObject_GetIter(iterable));
  while (PyRef item = PyRef::steal(PyIter_Next(it.get())))
    if (!acc.add(item.get())) bad_item();
  if (PyErr_Occurred()) throw PyErrSet{};
}

PyObject* quicksum(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    static const Signature sig("quicksum", {{"generator", true}});
    PyObject* a[1];
    sig.bind(args, nargs, kwnames, a);
    Accumulator acc;
    if (PyList_CheckExact(a[0]) || PyTuple_CheckExact(a[0]))
      sum_sequence(acc, a[0]);
    else if (is_vars(a[0]))
      acc.add_block(a[0]);
    else
      sum_iterable(acc, a[0]);
    return std::move(acc).finish().release();
  });
}

}  // namespace

PyMethodDef quicksum_def = {
    "quicksum",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quicksum)),
    METH_FASTCALL | METH_KEYWORDS,
    docs::kQuicksum,
};

}  // namespace kestpy
