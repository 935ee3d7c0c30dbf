#include "solver_api/columns.h"

#include <algorithm>
#include <limits>

#include "core/fault.h"

namespace kest {

std::uint32_t narrow_var(VarId v, std::string_view subject) {
  if (v.index > std::numeric_limits<std::uint32_t>::max())
    throw Fault(std::string(subject) + " refers to variable " + std::to_string(v.index) +
                ", beyond the 4294967295 variables a model can hold");
  return static_cast<std::uint32_t>(v.index);
}

void ConstraintBatch::reserve(std::size_t rows, std::size_t terms) {
  starts.reserve(rows + 1);
  constants.reserve(rows);
  kinds.reserve(rows);
  bounds.reserve(rows);
  vars.reserve(terms);
  coeffs.reserve(terms);
}

void ConstraintBatch::push(const ScalarFunctionType& function, const ScalarSetType& set) {
  double constant = 0.0;
  if (const SingleVariable* s = function.single()) {
    vars.push_back(narrow_var(s->var));
    coeffs.push_back(1.0);
  } else {
    const ScalarAffineFn& f = *function.affine();
    for (const auto& t : f.terms) {
      vars.push_back(narrow_var(t.var));
      coeffs.push_back(t.coeff);
    }
    constant = f.constant;
  }
  starts.push_back(vars.size());
  constants.push_back(constant);
  kinds.push_back(RowKind::of(set, function.single() != nullptr));
  bounds.push_back(set.value);
  if (set.kind == ScalarSetType::Kind::Interval) uppers.push_back(set.upper);
}

ScalarSetType ConstraintColumns::set(std::size_t r) const {
  ScalarSetType s;
  s.kind = RowKind::set_kind(kinds[r]);
  s.value = bounds[r];
  if (s.kind == ScalarSetType::Kind::Interval && interval_uppers) {
    const std::uint64_t row = first + r;
    auto it = std::lower_bound(interval_uppers->begin(), interval_uppers->end(), row,
                               [](const auto& p, std::uint64_t key) { return p.first < key; });
    if (it == interval_uppers->end() || it->first != row) throw Fault("interval row without its upper bound");
    s.upper = it->second;
  }
  return s;
}

ScalarFunctionType ConstraintColumns::function(std::size_t r) const {
  const auto begin = static_cast<std::size_t>(starts[r] - starts[0]);
  const auto end = static_cast<std::size_t>(starts[r + 1] - starts[0]);
  if (kinds[r] & RowKind::kSingle) return SingleVariable{VarId{vars[begin]}};
  ScalarAffineFn f;
  f.terms.reserve(end - begin);
  for (std::size_t k = begin; k < end; ++k) f.terms.push_back(AffineTerm{VarId{vars[k]}, coeffs[k]});
  f.constant = constants[r];
  return f;
}

ScalarFunctionType ObjectiveColumns::function() const {
  if (single) return SingleVariable{VarId{vars[0]}};
  ScalarAffineFn f;
  f.terms.reserve(vars.size());
  for (std::size_t k = 0; k < vars.size(); ++k) f.terms.push_back(AffineTerm{VarId{vars[k]}, coeffs[k]});
  f.constant = constant;
  return f;
}

}  // namespace kest
