#include "bridge/bridge_optimizer.h"

#include <algorithm>
#include <limits>
#include <string>

namespace kest {

namespace {
constexpr double kInfinity = std::numeric_limits<double>::infinity();
}

VarId BridgeOptimizer::add_variable(std::optional<std::string_view> name, std::optional<char32_t> vtype,
                                    std::optional<double> lower, std::optional<double> upper) {
  status_ = SolveStatus::Loaded;
  const VarId id{variables_.size()};
  variables_.push(name.value_or(std::string_view()), vtype.value_or(kContinuous), lower.value_or(0.0),
                  upper.value_or(kInfinity));
  // The backend gets the caller's arguments, absent ones still absent; its
  // returned id is ignored, ours is the authority.
  if (forwarding()) (void)backend_->add_variable(name, vtype, lower, upper);
  return id;
}

std::vector<VarId> BridgeOptimizer::add_variables(std::size_t count, std::optional<NameType> names,
                                                  std::optional<std::vector<char32_t>> vtypes,
                                                  std::optional<BoundType> lowers, std::optional<BoundType> uppers) {
  auto bound_at = [](const std::optional<BoundType>& b, std::size_t i) -> std::optional<double> {
    if (!b) return std::nullopt;
    if (const double* v = b->as_scalar()) return *v;
    const auto& list = *b->as_list();
    if (i < list.size()) return list[i];
    return std::nullopt;  // a short list never reads past its end
  };

  std::vector<VarId> ids;
  ids.reserve(count);
  std::string generated;
  for (std::size_t i = 0; i < count; ++i) {
    std::optional<std::string_view> name;
    if (names) {
      if (const std::string* prefix = names->as_prefix()) {
        if (!prefix->empty()) {
          generated = *prefix;
          generated += '_';
          generated += std::to_string(i);
          name = generated;
        }
      } else {
        const auto& list = *names->as_list();
        if (i < list.size()) name = list[i];
      }
    }
    std::optional<char32_t> vtype;
    if (vtypes && i < vtypes->size()) vtype = (*vtypes)[i];
    ids.push_back(add_variable(name, vtype, bound_at(lowers, i), bound_at(uppers, i)));
  }
  return ids;
}

VarId BridgeOptimizer::add_variable_batch(VariableBatch batch) {
  status_ = SolveStatus::Loaded;
  const VarId first{variables_.size()};
  const std::size_t n = batch.size();
  variables_.append(std::move(batch));
  if (!forwarding() || n == 0) return first;
  VariableColumns added = variables_.columns(first.index, n);
  if (backend_->takes_variable_batches()) {
    backend_->add_variable_columns(added);
    return first;
  }
  std::string name;
  for (std::size_t i = 0; i < n; ++i) {
    name.clear();
    added.names.append(name, i);
    (void)backend_->add_variable(std::string_view(name), added.types[i], added.lowers[i], added.uppers[i]);
  }
  return first;
}

ConstrId BridgeOptimizer::add_constraint(ScalarFunctionType function, ScalarSetType set,
                                         std::optional<std::string> name) {
  status_ = SolveStatus::Loaded;
  const ConstrId id{constraints_.size()};
  constraints_.push(function, set, name ? std::string_view(*name) : std::string_view());
  if (forwarding()) (void)backend_->add_constraint(std::move(function), set, std::move(name));
  return id;
}

std::vector<ConstrId> BridgeOptimizer::add_constraints(std::vector<ScalarFunctionType> functions,
                                                       std::vector<ScalarSetType> sets,
                                                       std::optional<std::vector<std::string>> names) {
  if (!names) names.emplace(functions.size());
  const std::size_t n = std::min({functions.size(), sets.size(), names->size()});
  std::vector<ConstrId> ids;
  ids.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    ids.push_back(add_constraint(std::move(functions[i]), sets[i], std::move((*names)[i])));
  return ids;
}

ConstrId BridgeOptimizer::add_constraint_batch(const ConstraintBatch& batch, NameRun names) {
  status_ = SolveStatus::Loaded;
  const ConstrId first{constraints_.size()};
  const std::size_t n = batch.size();
  constraints_.append(batch, std::move(names));
  if (!forwarding() || n == 0) return first;
  ConstraintColumns added = constraints_.columns(first.index, n);
  if (backend_->takes_constraint_batches()) {
    backend_->add_constraint_columns(added);
    return first;
  }
  for (std::size_t r = 0; r < n; ++r)
    (void)backend_->add_constraint(added.function(r), added.set(r), added.names.at(r));
  return first;
}

Status BridgeOptimizer::set_objective(ScalarFunctionType function, OptimizationSense sense) {
  status_ = SolveStatus::Loaded;
  objective_sense_ = sense;
  objective_function_ = std::move(function);
  objective_unsimplified_ = false;
  objective_unsent_ = false;
  if (forwarding()) return backend_->set_objective(*objective_function_, sense);
  return Status::success();
}

void BridgeOptimizer::add_objective_terms(VarId first, std::span<const double> coeffs) {
  if (std::all_of(coeffs.begin(), coeffs.end(), [](double c) { return c == 0.0; })) return;
  status_ = SolveStatus::Loaded;
  if (!objective_function_) {
    objective_function_ = ScalarAffineFn{};
  } else if (const SingleVariable* s = objective_function_->single()) {
    objective_function_ = ScalarAffineFn({AffineTerm{s->var, 1.0}}, 0.0);
  }
  auto& fn = std::get<ScalarAffineFn>(objective_function_->value);
  for (std::size_t i = 0; i < coeffs.size(); ++i) fn.push_term(VarId{first.index + i}, coeffs[i]);
  objective_unsimplified_ = true;
  if (!objective_sense_) objective_sense_ = OptimizationSense::Minimize;
  if (forwarding()) objective_unsent_ = true;
}

const std::optional<ScalarFunctionType>& BridgeOptimizer::objective_function() const {
  // New terms come with new variables, so simplifying once when the function
  // is read merges exactly as adding them one call at a time would have.
  if (objective_unsimplified_) {
    std::get<ScalarAffineFn>(objective_function_->value).simplify();
    objective_unsimplified_ = false;
  }
  return objective_function_;
}

Status BridgeOptimizer::send_pending_objective() {
  if (!objective_unsent_ || !forwarding()) return Status::success();
  objective_unsent_ = false;
  return backend_->set_objective(*objective_function(), objective_sense_.value_or(OptimizationSense::Minimize));
}

Status BridgeOptimizer::update() {
  if (!backend_) return Status::success();
  if (Status s = send_pending_objective(); !s) return s;
  return backend_->update();
}

std::optional<AttrValue> BridgeOptimizer::get_model_attr(ModelAttr attr) {
  switch (attr) {
    case ModelAttr::ObjectiveFunction:
      if (objective_function()) return AttrValue::function(*objective_function());
      return std::nullopt;
    case ModelAttr::ObjectiveSense:
      if (objective_sense_) return AttrValue::sense(*objective_sense_);
      return std::nullopt;
    case ModelAttr::NumberOfVariables:
      return AttrValue::integer(static_cast<std::int64_t>(variables_.size()));
    case ModelAttr::NumberOfConstraints:
      return AttrValue::integer(static_cast<std::int64_t>(constraints_.size()));
    default:
      if (backend_) return backend_->get_model_attr(attr);
      return std::nullopt;
  }
}

Status BridgeOptimizer::set_model_attr(ModelAttr attr, AttrValue value) {
  switch (attr) {
    case ModelAttr::ObjectiveFunction: {
      auto* f = std::get_if<ScalarFunctionType>(&value.value);
      if (!f) return Status::success();
      return set_objective(std::move(*f), objective_sense_.value_or(OptimizationSense::Minimize));
    }
    case ModelAttr::ObjectiveSense: {
      auto* s = std::get_if<OptimizationSense>(&value.value);
      if (!s) return Status::success();
      // The cached function is re-sent with the new sense; it stays in the
      // cache as it is. A sense before any function is kept for the next
      // function, and nothing reaches the backend until a function exists.
      objective_sense_ = *s;
      status_ = SolveStatus::Loaded;
      if (objective_function_ && forwarding()) {
        objective_unsent_ = false;
        return backend_->set_objective(*objective_function(), *s);
      }
      return Status::success();
    }
    default:
      if (backend_) return backend_->set_model_attr(attr, std::move(value));
      return Status::success();
  }
}

std::optional<AttrValue> BridgeOptimizer::get_optimizer_attr(OptimizerAttr attr) {
  if (backend_) return backend_->get_optimizer_attr(std::move(attr));
  for (const auto& [key, value] : settings_)
    if (key == attr) return value;
  return std::nullopt;
}

Status BridgeOptimizer::set_optimizer_attr(OptimizerAttr attr, AttrValue value) {
  // The last setting made goes last in a replay: a backend that knows two
  // names for one option (an alias) then ends with the value set last.
  std::erase_if(settings_, [&](const auto& entry) { return entry.first == attr; });
  settings_.emplace_back(attr, value);
  if (backend_) return backend_->set_optimizer_attr(std::move(attr), std::move(value));
  return Status::success();
}

Result<SolveStatus> BridgeOptimizer::optimize() {
  if (!backend_) return KestError::message("No backend solver attached");
  if (Status s = send_pending_objective(); !s) return s.error();
  Result<SolveStatus> r = backend_->optimize();
  // A solve never leaves the model "not solved": a backend's Loaded is Other.
  if (r) status_ = r.value() == SolveStatus::Loaded ? SolveStatus::Other : r.value();
  return r;
}

Status BridgeOptimizer::compute_conflict() {
  if (backend_) return backend_->compute_conflict();
  return Status::success();
}

std::optional<double> BridgeOptimizer::get_var_value(VarId var) {
  if (backend_) return backend_->get_var_value(var);
  return std::nullopt;
}

std::optional<std::vector<double>> BridgeOptimizer::get_var_values(std::span<const VarId> vars) {
  if (backend_) return backend_->get_var_values(vars);
  return std::nullopt;
}

std::optional<double> BridgeOptimizer::get_objective_value() {
  if (backend_) return backend_->get_objective_value();
  return std::nullopt;
}

std::optional<SolveInfo> BridgeOptimizer::get_solve_info() {
  if (!backend_ || status_ == SolveStatus::Loaded) return std::nullopt;
  return backend_->get_solve_info();
}

std::optional<std::vector<double>> BridgeOptimizer::get_result_vector(ResultVector which, std::size_t) {
  if (!backend_ || status_ == SolveStatus::Loaded) return std::nullopt;
  const std::size_t count = which == ResultVector::ReducedCosts ? num_variables() : num_constraints();
  return backend_->get_result_vector(which, count);
}

Status BridgeOptimizer::attach_backend(OptimizerBox backend) {
  // The new backend is a local until the replay has succeeded: a KestError
  // return or a fault unwinding from it destroys the new backend and leaves
  // this bridge exactly as it was.
  if (const auto n = variables_.size()) backend->add_variable_columns(variables_.columns(0, n));
  if (const auto n = constraints_.size()) backend->add_constraint_columns(constraints_.columns(0, n));
  if (objective_function() && objective_sense_) {
    if (Status s = backend->set_objective(*objective_function(), *objective_sense_); !s) return s;
  }
  for (const auto& [attr, value] : settings_) {
    if (Status s = backend->set_optimizer_attr(attr, value); !s) return s;
  }
  backend_ = std::move(backend);
  synchronised_ = true;
  status_ = SolveStatus::Loaded;
  objective_unsent_ = false;
  return Status::success();
}

}  // namespace kest
