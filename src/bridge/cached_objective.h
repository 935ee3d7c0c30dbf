#pragma once
// The objective as the cache keeps it: nothing, a single variable, or affine
// terms in two columns (variables, coefficients) in the order they were
// given. A backend taking arrays receives shares of the columns, so neither
// setting the objective nor replaying it makes a copy of its terms beyond the
// one the cache holds.
#include <cstddef>
#include <cstdint>
#include <span>

#include "bridge/model_cache.h"
#include "core/function.h"
#include "solver_api/columns.h"

namespace kest {

class CachedObjective {
 public:
  explicit operator bool() const { return form_ != Form::None; }
  bool single() const { return form_ == Form::Single; }
  /// The number of stored terms (1 for a single variable).
  std::size_t size() const { return vars_.size(); }

  /// Replaces the function, its terms kept in their order. Throws Fault for a
  /// variable index beyond 32 bits and std::bad_alloc, either way leaving the
  /// objective as it was.
  void assign(const ScalarFunctionType& function);
  void assign(const ScalarAffineFn& function);
  /// Appends coeffs[i] * x[first + i] for each nonzero coefficient (`nonzero`
  /// of them); nothing or a single variable becomes an affine function. Room
  /// is made first, so a failed allocation leaves the objective as it was.
  void append(VarId first, std::span<const double> coeffs, std::size_t nonzero);

  /// The function in the core's form (a copy of the terms); the objective must exist.
  ScalarFunctionType function() const;
  /// The terms as an affine function (a single variable as 1 * x, nothing as 0).
  ScalarAffineFn affine() const;
  /// Shares of the terms; the objective must exist.
  ObjectiveColumns columns() const;
  /// Calls f(var, coeff) for every stored term in order (a single variable: coefficient 1).
  template <class F>
  void for_each_term(F&& f) const {
    for (std::size_t k = 0; k < vars_.size(); ++k) f(VarId{vars_[k]}, coeffs_[k]);
  }

  /// What roll_back() restores; taking it cannot fail.
  struct Mark {
    std::uint8_t form = 0;
    std::size_t size = 0;
    double constant = 0.0;
    bool appended = false;
  };
  Mark mark() const noexcept { return {static_cast<std::uint8_t>(form_), vars_.size(), constant_, appended_}; }
  /// Undoes the appends made since `m` was taken; allocates nothing.
  void roll_back(const Mark& m) noexcept;

 private:
  enum class Form : std::uint8_t { None, Single, Affine };
  /// Terms appended since the function was set are merged on the first read:
  /// new terms come with new variables, so merging once when the function is
  /// read gives what adding them one call at a time would have.
  void settle() const;
  /// Replaces the terms (not the form or constant) with `terms`; throws as assign().
  void store(Terms terms) const;

  Form form_ = Form::None;
  // A single variable is vars_[0] with coefficient 1.
  mutable Column<std::uint32_t> vars_;
  mutable Column<double> coeffs_;
  double constant_ = 0.0;
  mutable bool appended_ = false;
};

}  // namespace kest
