#include "bridge/bridge_optimizer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/fault.h"

namespace kest {

namespace {
constexpr double kInfinity = std::numeric_limits<double>::infinity();
}

BridgeOptimizer::Mark BridgeOptimizer::mark() const noexcept {
  Mark m;
  m.variables = variables_.size();
  m.constraints = constraints_.size();
  m.objective = objective_.mark();
  m.sense = objective_sense_;
  m.unsent = objective_unsent_;
  return m;
}

void BridgeOptimizer::roll_back(const Mark& m) noexcept {
  variables_.truncate(m.variables);
  constraints_.truncate(m.constraints);
  if (variable_names_.indexed > m.variables) variable_names_ = NameIndex{};
  if (constraint_names_.indexed > m.constraints) constraint_names_ = NameIndex{};
  objective_.roll_back(m.objective);
  objective_sense_ = m.sense;
  objective_unsent_ = m.unsent;
}

VarId BridgeOptimizer::add_variable(std::optional<std::string_view> name, std::optional<char32_t> vtype,
                                    std::optional<double> lower, std::optional<double> upper) {
  status_ = SolveStatus::Loaded;
  const VarId id{variables_.size()};
  record([&] {
    variables_.push(name.value_or(std::string_view()), vtype.value_or(kContinuous), lower.value_or(0.0),
                    upper.value_or(kInfinity));
  });
  // The backend gets the caller's arguments, absent ones still absent; its
  // returned id is ignored, ours is the authority.
  if (forwarding()) forward([&] { (void)backend_->add_variable(name, vtype, lower, upper); });
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
  record([&] { variables_.append(std::move(batch)); });
  send_new_variables(first, n);
  return first;
}

VarId BridgeOptimizer::add_variable_block(VariableBlock block) {
  status_ = SolveStatus::Loaded;
  const VarId first{variables_.size()};
  const std::size_t n = block.count;
  record([&] { variables_.append(std::move(block)); });
  send_new_variables(first, n);
  return first;
}

void BridgeOptimizer::send_new_variables(VarId first, std::size_t n) {
  if (!forwarding() || n == 0) return;
  forward([&] {
    VariableColumns added = variables_.columns(first.index, n);
    if (backend_->takes_variable_batches()) {
      backend_->add_variable_columns(added);
      return;
    }
    std::string name;
    for (std::size_t i = 0; i < n; ++i) {
      name.clear();
      added.names.append(name, i);
      (void)backend_->add_variable(std::string_view(name), added.types[i], added.lowers[i], added.uppers[i]);
    }
  });
}

ConstrId BridgeOptimizer::add_constraint(ScalarFunctionType function, ScalarSetType set,
                                         std::optional<std::string> name) {
  return add_constraint_of(function, set, std::move(name));
}

ConstrId BridgeOptimizer::add_constraint_of(const ScalarFunctionType& function, ScalarSetType set,
                                            std::optional<std::string> name) {
  status_ = SolveStatus::Loaded;
  const ConstrId id{constraints_.size()};
  record([&] { constraints_.push(function, set, name ? std::string_view(*name) : std::string_view()); });
  if (forwarding()) forward([&] { (void)backend_->add_constraint(function, set, std::move(name)); });
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

ConstrId BridgeOptimizer::add_constraint_batch(const ConstraintRows& batch, NameRun names) {
  status_ = SolveStatus::Loaded;
  const ConstrId first{constraints_.size()};
  const std::size_t n = batch.size();
  record([&] { constraints_.append(batch, std::move(names)); });
  if (!forwarding() || n == 0) return first;
  forward([&] {
    ConstraintColumns added = constraints_.columns(first.index, n);
    if (backend_->takes_constraint_batches()) {
      backend_->add_constraint_columns(added);
      return;
    }
    for (std::size_t r = 0; r < n; ++r)
      (void)backend_->add_constraint(added.function(r), added.set(r), added.names.at(r));
  });
  return first;
}

Status BridgeOptimizer::set_objective(ScalarFunctionType function, OptimizationSense sense) {
  CachedObjective next;
  record([&] { next.assign(function); });
  return install_objective(std::move(next), sense);
}

Status BridgeOptimizer::set_objective_of(const ScalarAffineFn& function, OptimizationSense sense) {
  CachedObjective next;
  record([&] { next.assign(function); });
  return install_objective(std::move(next), sense);
}

Status BridgeOptimizer::install_objective(CachedObjective next, OptimizationSense sense) {
  status_ = SolveStatus::Loaded;
  // The objective it replaces is kept until the backend has the new one, so
  // that running out of memory on the way there can put it back.
  CachedObjective previous = std::exchange(objective_, std::move(next));
  const std::optional<OptimizationSense> previous_sense = std::exchange(objective_sense_, sense);
  const bool previous_unsent = std::exchange(objective_unsent_, false);
  if (!forwarding()) return Status::success();
  Status status;
  try {
    forward([&] { status = backend_->set_objective_columns(objective_.columns(), sense); });
  } catch (...) {
    if (cut_short_ == CutShort::Reason::OutOfMemory) {
      objective_ = std::move(previous);
      objective_sense_ = previous_sense;
      objective_unsent_ = previous_unsent;
    }
    throw;
  }
  return status;
}

void BridgeOptimizer::add_objective_terms(VarId first, std::span<const double> coeffs) {
  const auto nonzero = static_cast<std::size_t>(
      std::count_if(coeffs.begin(), coeffs.end(), [](double c) { return c != 0.0; }));
  if (nonzero == 0) return;
  status_ = SolveStatus::Loaded;
  record([&] { objective_.append(first, coeffs, nonzero); });
  if (!objective_sense_) objective_sense_ = OptimizationSense::Minimize;
  if (forwarding()) objective_unsent_ = true;
}

std::optional<ScalarFunctionType> BridgeOptimizer::objective_function() const {
  if (!objective_) return std::nullopt;
  return objective_.function();
}

Status BridgeOptimizer::send_pending_objective() {
  if (!objective_unsent_ || !forwarding()) return Status::success();
  Status status;
  forward([&] {
    status = backend_->set_objective_columns(objective_.columns(), objective_sense_.value_or(OptimizationSense::Minimize));
  });
  objective_unsent_ = false;
  return status;
}

Status BridgeOptimizer::update() {
  if (!backend_) return Status::success();
  release_kept_pages();  // the backend is about to copy what it was sent
  send_pending_changes();
  if (Status s = heal(); !s) return s;
  if (Status s = send_pending_objective(); !s) return s;
  Status status;
  forward([&] { status = backend_->update(); });
  return status;
}

std::optional<AttrValue> BridgeOptimizer::get_model_attr(ModelAttr attr) {
  switch (attr) {
    case ModelAttr::ObjectiveFunction:
      if (auto f = objective_function()) return AttrValue::function(std::move(*f));
      return std::nullopt;
    case ModelAttr::ObjectiveSense:
      if (objective_sense_) return AttrValue::sense(*objective_sense_);
      return std::nullopt;
    case ModelAttr::NumberOfVariables:
      return AttrValue::integer(static_cast<std::int64_t>(variables_.size()));
    case ModelAttr::NumberOfConstraints:
      return AttrValue::integer(static_cast<std::int64_t>(constraints_.size()));
    default:
      if (Optimizer* b = live()) return b->get_model_attr(attr);
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
      if (objective_ && forwarding()) {
        Status status;
        forward([&] { status = backend_->set_objective_columns(objective_.columns(), *s); });
        objective_unsent_ = false;
        return status;
      }
      return Status::success();
    }
    default:
      if (Optimizer* b = live()) return b->set_model_attr(attr, std::move(value));
      return Status::success();
  }
}

std::optional<AttrValue> BridgeOptimizer::get_optimizer_attr(OptimizerAttr attr) {
  if (Optimizer* b = live()) return b->get_optimizer_attr(std::move(attr));
  for (const auto& [key, value] : settings_)
    if (key == attr) return value;
  return std::nullopt;
}

Status BridgeOptimizer::set_optimizer_attr(OptimizerAttr attr, AttrValue value) {
  // The last setting made goes last in a replay: a backend that knows two
  // names for one option (an alias) then ends with the value set last.
  // A value the backend refuses comes back out, and the entry it displaced
  // goes back to its place.
  const auto found = std::find_if(settings_.begin(), settings_.end(), [&](const auto& e) { return e.first == attr; });
  const auto at = static_cast<std::size_t>(found - settings_.begin());
  std::optional<std::pair<OptimizerAttr, AttrValue>> displaced;
  record([&] {
    settings_.reserve(settings_.size() + 1);
    std::pair<OptimizerAttr, AttrValue> entry(attr, value);
    if (at < settings_.size()) {
      displaced = std::move(settings_[at]);
      settings_.erase(settings_.begin() + static_cast<std::ptrdiff_t>(at));
    }
    settings_.push_back(std::move(entry));
  });
  auto put_back = [&] {
    settings_.pop_back();
    if (displaced) settings_.insert(settings_.begin() + static_cast<std::ptrdiff_t>(at), std::move(*displaced));
  };
  if (!live()) return Status::success();
  Status status;
  try {
    forward([&] { status = backend_->set_optimizer_attr(std::move(attr), std::move(value)); });
  } catch (...) {
    if (cut_short_ == CutShort::Reason::OutOfMemory) put_back();
    throw;
  }
  if (!status && status.error().kind == KestError::Kind::ValueRefused) {
    put_back();
    return Status::success();
  }
  return status;
}

Result<SolveStatus> BridgeOptimizer::optimize() {
  if (!backend_) return KestError::message("No backend solver attached");
  release_kept_pages();
  send_pending_changes();
  if (Status s = heal(); !s) return s.error();
  if (Status s = send_pending_objective(); !s) return s.error();
  // A solve cut short (other than by Ctrl-C, which the backend reports as an
  // interrupted solve) may leave the backend in any state: it is rebuilt.
  std::optional<Result<SolveStatus>> solved;
  forward([&] { solved.emplace(backend_->optimize()); });
  Result<SolveStatus> r = std::move(*solved);
  // A solve never leaves the model "not solved": a backend's Loaded is Other.
  if (r) status_ = r.value() == SolveStatus::Loaded ? SolveStatus::Other : r.value();
  return r;
}

Status BridgeOptimizer::compute_conflict() {
  if (Optimizer* b = live()) return b->compute_conflict();
  return Status::success();
}

std::optional<double> BridgeOptimizer::get_var_value(VarId var) {
  if (pending_.any) return std::nullopt;  // the backend does not know of the change yet
  if (Optimizer* b = live()) return b->get_var_value(var);
  return std::nullopt;
}

std::optional<std::vector<double>> BridgeOptimizer::get_var_values(std::span<const VarId> vars) {
  if (pending_.any) return std::nullopt;
  if (Optimizer* b = live()) return b->get_var_values(vars);
  return std::nullopt;
}

std::optional<double> BridgeOptimizer::get_objective_value() {
  if (pending_.any) return std::nullopt;
  if (Optimizer* b = live()) return b->get_objective_value();
  return std::nullopt;
}

std::optional<SolveInfo> BridgeOptimizer::get_solve_info() {
  Optimizer* b = live();
  if (!b || status_ == SolveStatus::Loaded) return std::nullopt;
  return b->get_solve_info();
}

std::optional<std::vector<double>> BridgeOptimizer::get_result_vector(ResultVector which, std::size_t) {
  Optimizer* b = live();
  if (!b || status_ == SolveStatus::Loaded) return std::nullopt;
  const std::size_t count = which == ResultVector::ReducedCosts ? num_variables() : num_constraints();
  return b->get_result_vector(which, count);
}

Status BridgeOptimizer::attach_backend(OptimizerBox backend) {
  // The new backend is a local until the replay has succeeded: a KestError
  // return or a fault unwinding from it destroys the new backend and leaves
  // this bridge exactly as it was.
  std::vector<std::size_t> refused;
  Status status;
  try {
    status = replay_into(*backend, refused);
  } catch (const CutShort& c) {
    cut_short_ = c.reason();  // nothing here has changed
    throw;
  } catch (const std::bad_alloc&) {
    cut_short_ = CutShort::Reason::OutOfMemory;
    throw;
  }
  if (!status) return status;
  install(std::move(backend), refused);
  return Status::success();
}

Status BridgeOptimizer::replay_into(Optimizer& target, std::vector<std::size_t>& refused) {
  release_kept_pages();
  if (const auto n = variables_.size()) target.add_variable_columns(variables_.columns(0, n));
  if (const auto n = constraints_.size()) target.add_constraint_columns(constraints_.columns(0, n));
  if (objective_ && objective_sense_) {
    if (Status s = target.set_objective_columns(objective_.columns(), *objective_sense_); !s) return s;
  }
  // MIP starts are hints: a backend without the method goes without them.
  if (const auto starts = variables_.starts(); !starts.empty()) {
    std::vector<std::uint64_t> ids;
    std::vector<double> values;
    for (std::size_t i = 0; i < starts.size(); ++i) {
      if (std::isnan(starts[i])) continue;
      ids.push_back(i);
      values.push_back(starts[i]);
    }
    if (!ids.empty()) (void)target.set_start_values(ids, values);
  }
  refused.reserve(settings_.size());
  for (std::size_t i = 0; i < settings_.size(); ++i) {
    Status s = target.set_optimizer_attr(settings_[i].first, settings_[i].second);
    if (!s && s.error().kind == KestError::Kind::ValueRefused) {
      refused.push_back(i);
    } else if (!s) {
      return s;
    }
  }
  return Status::success();
}

void BridgeOptimizer::install(OptimizerBox backend, const std::vector<std::size_t>& refused) {
  // What the new backend refused is not what it holds: the cache forgets it.
  for (auto i = refused.rbegin(); i != refused.rend(); ++i)
    settings_.erase(settings_.begin() + static_cast<std::ptrdiff_t>(*i));
  backend_ = std::move(backend);
  synchronised_ = true;
  stale_ = false;
  status_ = SolveStatus::Loaded;
  objective_unsent_ = false;
  pending_ = Pending{};  // the replay sent the cache as it stands
}

Status BridgeOptimizer::heal() {
  if (!stale_) return Status::success();
  OptimizerBox fresh;
  std::vector<std::size_t> refused;
  Status status;
  // Cut short again, the rebuild is dropped and the backend stays stale; the
  // cache has not changed.
  forward([&] {
    fresh = backend_->fresh();
    if (!fresh)
      throw Fault("The backend cannot be rebuilt after a call into it was cut short or a change it did not apply");
    status = replay_into(*fresh, refused);
  });
  if (!status) return status;
  install(std::move(fresh), refused);
  return Status::success();
}

}  // namespace kest
