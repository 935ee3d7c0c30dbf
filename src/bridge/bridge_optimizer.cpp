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
  const VarId id{variables_.size()};
  variables_.push_back(VarInfo{id, name ? std::string(*name) : std::string(), lower.value_or(0.0),
                               upper.value_or(kInfinity), vtype.value_or(kContinuous)});
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
  variables_.reserve(variables_.size() + count);
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

ConstrId BridgeOptimizer::add_constraint(ScalarFunctionType function, ScalarSetType set,
                                         std::optional<std::string> name) {
  const ConstrId id{constraints_.size()};
  if (forwarding()) {
    constraints_.push_back(ConstrInfo{id, name ? *name : std::string(), function, set});
    (void)backend_->add_constraint(std::move(function), set, std::move(name));
  } else {
    constraints_.push_back(ConstrInfo{id, name ? std::move(*name) : std::string(), std::move(function), set});
  }
  return id;
}

std::vector<ConstrId> BridgeOptimizer::add_constraints(std::vector<ScalarFunctionType> functions,
                                                       std::vector<ScalarSetType> sets,
                                                       std::optional<std::vector<std::string>> names) {
  if (!names) names.emplace(functions.size());
  const std::size_t n = std::min({functions.size(), sets.size(), names->size()});
  std::vector<ConstrId> ids;
  ids.reserve(n);
  constraints_.reserve(constraints_.size() + n);
  for (std::size_t i = 0; i < n; ++i)
    ids.push_back(add_constraint(std::move(functions[i]), sets[i], std::move((*names)[i])));
  return ids;
}

Status BridgeOptimizer::set_objective(ScalarFunctionType function, OptimizationSense sense) {
  objective_sense_ = sense;
  objective_function_ = std::move(function);
  if (forwarding()) return backend_->set_objective(*objective_function_, sense);
  return Status::success();
}

Status BridgeOptimizer::update() {
  if (backend_) return backend_->update();
  return Status::success();
}

std::optional<AttrValue> BridgeOptimizer::get_model_attr(ModelAttr attr) {
  switch (attr) {
    case ModelAttr::ObjectiveFunction:
      if (objective_function_) return AttrValue::function(*objective_function_);
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
      if (objective_function_ && forwarding()) return backend_->set_objective(*objective_function_, *s);
      return Status::success();
    }
    default:
      if (backend_) return backend_->set_model_attr(attr, std::move(value));
      return Status::success();
  }
}

std::optional<AttrValue> BridgeOptimizer::get_optimizer_attr(OptimizerAttr attr) {
  if (backend_) return backend_->get_optimizer_attr(std::move(attr));
  if (auto it = settings_.find(attr); it != settings_.end()) return it->second;
  return std::nullopt;
}

Status BridgeOptimizer::set_optimizer_attr(OptimizerAttr attr, AttrValue value) {
  settings_.insert_or_assign(attr, value);
  if (backend_) return backend_->set_optimizer_attr(std::move(attr), std::move(value));
  return Status::success();
}

Result<SolveStatus> BridgeOptimizer::optimize() {
  if (backend_) return backend_->optimize();
  return KestError::message("No backend solver attached");
}

Status BridgeOptimizer::compute_conflict() {
  if (backend_) return backend_->compute_conflict();
  return Status::success();
}

std::optional<double> BridgeOptimizer::get_var_value(VarId var) {
  if (backend_) return backend_->get_var_value(var);
  return std::nullopt;
}

std::optional<double> BridgeOptimizer::get_objective_value() {
  if (backend_) return backend_->get_objective_value();
  return std::nullopt;
}

Status BridgeOptimizer::attach_backend(OptimizerBox backend) {
  // The new backend is a local until the replay has succeeded: a KestError
  // return or a fault unwinding from it destroys the new backend and leaves
  // this bridge exactly as it was.
  if (!variables_.empty()) {
    const std::size_t n = variables_.size();
    std::vector<std::string> names;
    std::vector<char32_t> vtypes;
    std::vector<double> lowers, uppers;
    names.reserve(n);
    vtypes.reserve(n);
    lowers.reserve(n);
    uppers.reserve(n);
    for (const auto& v : variables_) {
      names.push_back(v.name);
      vtypes.push_back(v.vtype);
      lowers.push_back(v.lower);
      uppers.push_back(v.upper);
    }
    (void)backend->add_variables(n, NameType::list(std::move(names)), std::move(vtypes),
                                 BoundType::list(std::move(lowers)), BoundType::list(std::move(uppers)));
  }
  if (!constraints_.empty()) {
    std::vector<ScalarFunctionType> functions;
    std::vector<ScalarSetType> sets;
    std::vector<std::string> names;
    functions.reserve(constraints_.size());
    sets.reserve(constraints_.size());
    names.reserve(constraints_.size());
    for (const auto& c : constraints_) {
      functions.push_back(c.function);
      sets.push_back(c.set);
      names.push_back(c.name);
    }
    (void)backend->add_constraints(std::move(functions), std::move(sets), std::move(names));
  }
  if (objective_function_ && objective_sense_) {
    if (Status s = backend->set_objective(*objective_function_, *objective_sense_); !s) return s;
  }
  for (const auto& [attr, value] : settings_) {
    if (Status s = backend->set_optimizer_attr(attr, value); !s) return s;
  }
  backend_ = std::move(backend);
  synchronised_ = true;
  return Status::success();
}

}  // namespace kest
