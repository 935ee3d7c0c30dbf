#pragma once
// The model cache between the Python Model and a solver backend.
//
// States:
//   detached (from construction): building operations record into the cache
//     only; optimize fails with Msg("No backend solver attached"); value
//     queries answer nothing; settings and other model attributes succeed.
//   attached (after attach_backend succeeds): building operations record and
//     then forward to the backend; solving and value queries go to it.
// There is no way back to detached; attaching again replaces the backend, and
// only after the replay into the new one has succeeded.
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/records.h"
#include "solver_api/optimizer.h"

namespace kest {

class BridgeOptimizer final : public Optimizer {
 public:
  BridgeOptimizer() = default;
  static BridgeOptimizer make_new() { return BridgeOptimizer(); }

  VarId add_variable(std::optional<std::string_view> name, std::optional<char32_t> vtype,
                     std::optional<double> lower, std::optional<double> upper) override;
  std::vector<VarId> add_variables(std::size_t count, std::optional<NameType> names,
                                   std::optional<std::vector<char32_t>> vtypes, std::optional<BoundType> lowers,
                                   std::optional<BoundType> uppers) override;
  ConstrId add_constraint(ScalarFunctionType function, ScalarSetType set, std::optional<std::string> name) override;
  std::vector<ConstrId> add_constraints(std::vector<ScalarFunctionType> functions, std::vector<ScalarSetType> sets,
                                        std::optional<std::vector<std::string>> names) override;
  Status set_objective(ScalarFunctionType function, OptimizationSense sense) override;
  Status update() override;
  std::optional<AttrValue> get_model_attr(ModelAttr attr) override;
  Status set_model_attr(ModelAttr attr, AttrValue value) override;
  std::optional<AttrValue> get_optimizer_attr(OptimizerAttr attr) override;
  Status set_optimizer_attr(OptimizerAttr attr, AttrValue value) override;

  Result<SolveStatus> optimize() override;
  Status compute_conflict() override;
  std::optional<double> get_var_value(VarId var) override;
  std::optional<double> get_objective_value() override;

  /// Replays the cache into backend and installs it on success. On a
  /// KestError or a fault the new backend is destroyed and the bridge keeps
  /// the state it had before the call.
  Status attach_backend(OptimizerBox backend);

  // Read access to the cache.
  const std::vector<VarInfo>& variables() const { return variables_; }
  const std::vector<ConstrInfo>& constraints() const { return constraints_; }
  const std::optional<ScalarFunctionType>& objective_function() const { return objective_function_; }
  const std::optional<OptimizationSense>& objective_sense() const { return objective_sense_; }
  const std::unordered_map<OptimizerAttr, AttrValue>& optimizer_settings() const { return settings_; }
  bool has_backend() const { return backend_ != nullptr; }
  const Optimizer* backend() const { return backend_.get(); }
  bool synchronised() const { return synchronised_; }
  std::size_t num_variables() const { return variables_.size(); }

 private:
  bool forwarding() const { return synchronised_ && backend_ != nullptr; }

  std::vector<VarInfo> variables_;
  // Constraint ids are dense from 0 and the replay wants them in order, so the
  // map from ConstrId to ConstrInfo is a vector indexed by the id.
  std::vector<ConstrInfo> constraints_;
  std::optional<ScalarFunctionType> objective_function_;
  std::optional<OptimizationSense> objective_sense_;
  OptimizerBox backend_;
  std::unordered_map<OptimizerAttr, AttrValue> settings_;
  bool synchronised_ = false;
};

}  // namespace kest
