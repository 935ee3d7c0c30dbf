#include "core/affine.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/fault.h"

namespace kest {

bool is_simplified(Terms terms) {
  for (std::size_t i = 0; i < terms.size(); ++i)
    if (terms[i].coeff == 0.0 || (i > 0 && !(terms[i - 1].var < terms[i].var))) return false;
  return true;
}

namespace {

/// Sorts terms by variable, keeping the order of a variable's terms (a stable
/// sort): by 16-bit digits from the lowest, as many as the largest index
/// needs, for long lists; variable indices are dense, so two digits cover
/// most models and each costs two passes over the terms.
void sort_by_variable(std::vector<AffineTerm>& terms) {
  constexpr std::size_t kRadixFrom = 2048;
  constexpr unsigned kDigit = 16;
  constexpr std::size_t kBuckets = std::size_t{1} << kDigit;
  const std::size_t n = terms.size();
  if (n < kRadixFrom) {
    std::stable_sort(terms.begin(), terms.end(),
                     [](const AffineTerm& a, const AffineTerm& b) { return a.var < b.var; });
    return;
  }
  std::uint64_t top = 0;
  for (const auto& t : terms) top = std::max(top, t.var.index);
  std::vector<AffineTerm> buffer(n);
  std::vector<std::size_t> next(kBuckets);
  AffineTerm* from = terms.data();
  AffineTerm* to = buffer.data();
  for (unsigned shift = 0; shift < 64 && (top >> shift) != 0; shift += kDigit) {
    std::fill(next.begin(), next.end(), 0);
    for (std::size_t i = 0; i < n; ++i) ++next[(from[i].var.index >> shift) & (kBuckets - 1)];
    std::size_t sum = 0;
    for (auto& c : next) sum += std::exchange(c, sum);
    for (std::size_t i = 0; i < n; ++i) to[next[(from[i].var.index >> shift) & (kBuckets - 1)]++] = from[i];
    std::swap(from, to);
  }
  if (from != terms.data()) std::copy(from, from + n, terms.data());
}

}  // namespace

void ScalarAffineFn::simplify() {
  // Fast path: already strictly ascending with no zeros (the common case for
  // expressions built term by term in variable order).
  if (is_simplified(terms)) return;

  sort_by_variable(terms);
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

void combine(Terms lhs, Terms rhs, bool negate_rhs, double constant, ScalarAffineFn& out) {
  out.constant = constant;
  out.terms.clear();
  out.terms.reserve(lhs.size() + rhs.size());
  if (is_simplified(lhs) && is_simplified(rhs)) {
    // Operands made by the operators are simplified already. A stable sort and
    // left-to-right merge of two sorted lists without duplicates is a plain
    // merge in which lhs's coefficient comes first.
    merge_simplified(
        lhs.size(), [&](std::size_t i) { return lhs[i]; }, rhs.size(), [&](std::size_t j) { return rhs[j]; },
        negate_rhs, [&](VarId var, double coeff) { out.terms.push_back(AffineTerm{var, coeff}); });
    return;
  }
  // An operand from quicksum may be unsorted: concatenate, then simplify.
  for (const auto& t : lhs)
    if (t.coeff != 0.0) out.terms.push_back(t);
  for (const auto& t : rhs) {
    const double c = negate_rhs ? -t.coeff : t.coeff;
    if (c != 0.0) out.terms.push_back(AffineTerm{t.var, c});
  }
  out.simplify();
}

void scale(Terms terms, double factor, double constant, ScalarAffineFn& out) {
  out.constant = constant;
  out.terms.clear();
  out.terms.reserve(terms.size());
  for (const auto& t : terms) {
    const double c = t.coeff * factor;
    if (c != 0.0) out.terms.push_back(AffineTerm{t.var, c});
  }
  out.simplify();  // a no-op unless the terms came unsorted
}

ScalarAffineFn calculate(const ScalarAffineFn& lhs, const ScalarAffineFn& rhs, AffineOp op) {
  ScalarAffineFn out;
  switch (op) {
    case AffineOp::Add:
      combine(lhs.terms, rhs.terms, false, lhs.constant + rhs.constant, out);
      return out;
    case AffineOp::Sub:
      combine(lhs.terms, rhs.terms, true, lhs.constant - rhs.constant, out);
      return out;
    case AffineOp::Mul: {
      if (!rhs.terms.empty() && !lhs.terms.empty())
        throw Fault("Multiplication results in a non-affine function");
      // The side with terms is scaled by the other side's constant.
      const bool rhs_has_terms = !rhs.terms.empty();
      const ScalarAffineFn& scaled = rhs_has_terms ? rhs : lhs;
      const double factor = rhs_has_terms ? lhs.constant : rhs.constant;
      scale(scaled.terms, factor, factor * scaled.constant, out);
      return out;
    }
    default:
      throw Fault("Unsupported operation for ScalarAffineFn");
  }
}

}  // namespace kest
