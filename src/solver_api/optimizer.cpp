#include "solver_api/optimizer.h"

#include <limits>

namespace kest {

void ModelLike::add_variable_columns(const VariableColumns& batch) {
  const std::size_t n = batch.size();
  std::vector<std::string> names;
  names.reserve(n);
  for (std::size_t i = 0; i < n; ++i) names.push_back(batch.names.at(i));
  (void)add_variables(n, NameType::list(std::move(names)), std::vector<char32_t>(batch.types.begin(), batch.types.end()),
                      BoundType::list({batch.lowers.values.begin(), batch.lowers.values.end()}),
                      BoundType::list({batch.uppers.values.begin(), batch.uppers.values.end()}));
}

void ModelLike::add_constraint_columns(const ConstraintColumns& batch) {
  const std::size_t n = batch.size();
  std::vector<ScalarFunctionType> functions;
  std::vector<ScalarSetType> sets;
  std::vector<std::string> names;
  functions.reserve(n);
  sets.reserve(n);
  names.reserve(n);
  for (std::size_t r = 0; r < n; ++r) {
    functions.push_back(batch.function(r));
    sets.push_back(batch.set(r));
    names.push_back(batch.names.at(r));
  }
  (void)add_constraints(std::move(functions), std::move(sets), std::move(names));
}

std::optional<std::vector<double>> Optimizer::get_var_values(std::span<const VarId> vars) {
  std::vector<double> out(vars.size(), std::numeric_limits<double>::quiet_NaN());
  bool any = false;
  for (std::size_t i = 0; i < vars.size(); ++i) {
    if (auto v = get_var_value(vars[i])) {
      out[i] = *v;
      any = true;
    }
  }
  if (!any && !vars.empty()) return std::nullopt;
  return out;
}

}  // namespace kest
