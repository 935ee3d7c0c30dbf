#include "core/affine.h"

#include <algorithm>

#include "core/fault.h"

namespace kest {

void ScalarAffineFn::simplify() {
  // Fast path: already strictly ascending with no zeros (the common case for
  // expressions built term by term in variable order).
  bool sorted = true;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (terms[i].coeff == 0.0 || (i > 0 && !(terms[i - 1].var < terms[i].var))) {
      sorted = false;
      break;
    }
  }
  if (sorted) return;

  std::stable_sort(terms.begin(), terms.end(),
                   [](const AffineTerm& a, const AffineTerm& b) { return a.var < b.var; });
  // Merge in place: the write position never passes the read position.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (kept > 0 && terms[kept - 1].var == terms[i].var)
      terms[kept - 1].coeff += terms[i].coeff;
    else
      terms[kept++] = terms[i];
  }
  terms.resize(kept);
  std::erase_if(terms, [](const AffineTerm& t) { return t.coeff == 0.0; });
}

template <class Coeff>
static void append_nonzero(std::vector<AffineTerm>& out, const std::vector<AffineTerm>& in, Coeff coeff) {
  for (const auto& t : in) {
    const double c = coeff(t.coeff);
    if (c != 0.0) out.push_back(AffineTerm{t.var, c});
  }
}

static double same(double c) { return c; }
// Negation, not a product with -1: it flips the sign of a NaN too.
static double negated(double c) { return -c; }

ScalarAffineFn calculate(const ScalarAffineFn& lhs, const ScalarAffineFn& rhs, AffineOp op) {
  ScalarAffineFn out;
  switch (op) {
    case AffineOp::Add:
      out.terms.reserve(lhs.terms.size() + rhs.terms.size());
      append_nonzero(out.terms, lhs.terms, same);
      append_nonzero(out.terms, rhs.terms, same);
      out.constant = lhs.constant + rhs.constant;
      break;
    case AffineOp::Sub:
      out.terms.reserve(lhs.terms.size() + rhs.terms.size());
      append_nonzero(out.terms, lhs.terms, same);
      append_nonzero(out.terms, rhs.terms, negated);
      out.constant = lhs.constant - rhs.constant;
      break;
    case AffineOp::Mul: {
      if (!rhs.terms.empty() && !lhs.terms.empty())
        throw Fault("Multiplication results in a non-affine function");
      // The side with terms is scaled by the other side's constant.
      const bool rhs_has_terms = !rhs.terms.empty();
      const ScalarAffineFn& scaled = rhs_has_terms ? rhs : lhs;
      const double factor = rhs_has_terms ? lhs.constant : rhs.constant;
      out.terms.reserve(scaled.terms.size());
      append_nonzero(out.terms, scaled.terms, [factor](double c) { return c * factor; });
      out.constant = factor * scaled.constant;
      break;
    }
    default:
      throw Fault("Unsupported operation for ScalarAffineFn");
  }
  out.simplify();
  return out;
}

}  // namespace kest
