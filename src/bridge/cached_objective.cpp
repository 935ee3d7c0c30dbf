#include "bridge/cached_objective.h"

#include <utility>

#include "core/affine.h"

namespace kest {

namespace {
constexpr const char* kSubject = "The objective";
}

void CachedObjective::assign(const ScalarFunctionType& function) {
  if (const SingleVariable* s = function.single()) {
    const std::uint32_t var = narrow_var(s->var, kSubject);
    Column<std::uint32_t> vars;
    Column<double> coeffs;
    vars.push_back(var);
    coeffs.push_back(1.0);
    vars_ = std::move(vars);
    coeffs_ = std::move(coeffs);
    constant_ = 0.0;
    form_ = Form::Single;
    appended_ = false;
  } else {
    assign(*function.affine());
  }
}

void CachedObjective::assign(const ScalarAffineFn& function) {
  store(function.terms);
  constant_ = function.constant;
  form_ = Form::Affine;
  appended_ = false;
}

void CachedObjective::store(Terms terms) const {
  Column<std::uint32_t> vars;
  Column<double> coeffs;
  vars.reserve_more(terms.size());
  coeffs.reserve_more(terms.size());
  vars.append_generated(terms.size(), [&](std::size_t k) { return narrow_var(terms[k].var, kSubject); });
  coeffs.append_generated(terms.size(), [&](std::size_t k) { return terms[k].coeff; });
  vars_ = std::move(vars);
  coeffs_ = std::move(coeffs);
}

void CachedObjective::append(VarId first, std::span<const double> coeffs, std::size_t nonzero) {
  if (nonzero == 0) return;
  (void)narrow_var(VarId{first.index + coeffs.size() - 1}, kSubject);
  vars_.reserve_more(nonzero);
  coeffs_.reserve_more(nonzero);
  for (std::size_t i = 0; i < coeffs.size(); ++i) {
    if (coeffs[i] == 0.0) continue;
    vars_.push_back(static_cast<std::uint32_t>(first.index + i));
    coeffs_.push_back(coeffs[i]);
  }
  appended_ = true;
  form_ = Form::Affine;
  // As the sum with a constant-free function would have it: -0.0 + 0.0 is 0.0.
  constant_ += 0.0;
}

void CachedObjective::settle() const {
  if (!appended_) return;
  const auto vars = vars_.span();
  const auto coeffs = coeffs_.span();
  bool merged = true;
  for (std::size_t k = 0; k < vars.size() && merged; ++k)
    merged = coeffs[k] != 0.0 && (k == 0 || vars[k - 1] < vars[k]);
  if (!merged) {
    // The core's simplify, so that the merged sums are the operators' own.
    const ObjectiveColumns as_stored{false, vars_.share(0, vars.size()), coeffs_.share(0, coeffs.size()), constant_};
    ScalarFunctionType f = as_stored.function();
    auto& fn = std::get<ScalarAffineFn>(f.value);
    fn.simplify();
    store(fn.terms);
  }
  appended_ = false;
}

ScalarFunctionType CachedObjective::function() const {
  return columns().function();
}

ScalarAffineFn CachedObjective::affine() const {
  if (form_ == Form::None) return ScalarAffineFn{};
  ObjectiveColumns c = columns();
  c.single = false;  // vars[0] with its coefficient 1
  return std::get<ScalarAffineFn>(c.function().value);
}

ObjectiveColumns CachedObjective::columns() const {
  if (form_ != Form::Single) settle();
  return ObjectiveColumns{form_ == Form::Single, vars_.share(0, vars_.size()), coeffs_.share(0, coeffs_.size()),
                          constant_};
}

void CachedObjective::roll_back(const Mark& m) noexcept {
  form_ = static_cast<Form>(m.form);
  vars_.truncate(m.size);
  coeffs_.truncate(m.size);
  constant_ = m.constant;
  appended_ = m.appended;
}

}  // namespace kest
