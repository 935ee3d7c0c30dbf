#pragma once
// The one function representation: sum of coeff * var plus a constant.
#include <cstdint>
#include <span>
#include <vector>

#include "core/ids.h"

namespace kest {

struct AffineTerm {
  VarId var;
  double coeff = 0.0;
  friend bool operator==(const AffineTerm&, const AffineTerm&) = default;
};

enum class AffineOp : std::uint8_t { Add = 0, Sub = 1, Mul = 2, Div = 3 };

struct ScalarAffineFn {
  std::vector<AffineTerm> terms;
  double constant = 0.0;

  ScalarAffineFn() = default;
  explicit ScalarAffineFn(double c) : constant(c) {}
  ScalarAffineFn(std::vector<AffineTerm> t, double c) : terms(std::move(t)), constant(c) {}

  /// Appends (var, coeff) unless coeff equals zero; never sorts or merges.
  void push_term(VarId var, double coeff) {
    if (coeff != 0.0) terms.push_back(AffineTerm{var, coeff});
  }
  /// Stable sort by variable, left-to-right merge, drop zero coefficients.
  void simplify();

  friend bool operator==(const ScalarAffineFn&, const ScalarAffineFn&) = default;
};

using Terms = std::span<const AffineTerm>;

/// True when the terms are strictly ascending by variable with no zero
/// coefficient: what simplify() leaves.
bool is_simplified(Terms terms);

/// The merge that combine() runs on two simplified operands: the terms of
/// both in ascending variable order, rhs's coefficients negated when
/// `negate_rhs` (-coeff), the two coefficients of a variable in both summed
/// (lhs's first) and the term left out when the sum is zero. lhs(i) and
/// rhs(j) give the operands' terms as AffineTerm; emit(var, coeff) receives
/// the result's. A template so that rows stored in other layouts run this
/// same merge.
template <class Lhs, class Rhs, class Emit>
void merge_simplified(std::size_t lhs_size, Lhs&& lhs, std::size_t rhs_size, Rhs&& rhs, bool negate_rhs,
                      Emit&& emit) {
  std::size_t i = 0, j = 0;
  while (i < lhs_size && j < rhs_size) {
    const AffineTerm l = lhs(i), r = rhs(j);
    if (l.var < r.var) {
      emit(l.var, l.coeff);
      ++i;
    } else if (r.var < l.var) {
      emit(r.var, negate_rhs ? -r.coeff : r.coeff);
      ++j;
    } else {
      const double c = l.coeff + (negate_rhs ? -r.coeff : r.coeff);
      if (c != 0.0) emit(l.var, c);
      ++i;
      ++j;
    }
  }
  for (; i < lhs_size; ++i) {
    const AffineTerm l = lhs(i);
    emit(l.var, l.coeff);
  }
  for (; j < rhs_size; ++j) {
    const AffineTerm r = rhs(j);
    emit(r.var, negate_rhs ? -r.coeff : r.coeff);
  }
}

/// Writes into `out` the terms of lhs followed by those of rhs (negated when
/// `negate_rhs`: -coeff, so a NaN's sign flips too), zero coefficients left
/// out, simplified; and the constant, which is the caller's, since the
/// operators and calculate() each have their own rule for it. `out` keeps its
/// term storage for reuse and must hold neither operand.
void combine(Terms lhs, Terms rhs, bool negate_rhs, double constant, ScalarAffineFn& out);

/// Writes into `out` every coefficient times `factor`, zero products left
/// out, simplified, and the caller's constant; as for combine().
void scale(Terms terms, double factor, double constant, ScalarAffineFn& out);

/// lhs op rhs, simplified. An unknown op or a product of two functions with
/// terms is a programming fault (throws kest::Fault).
ScalarAffineFn calculate(const ScalarAffineFn& lhs, const ScalarAffineFn& rhs, AffineOp op);

}  // namespace kest
