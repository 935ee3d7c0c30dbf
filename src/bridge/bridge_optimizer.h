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
//
// A backend call cut short (kest::CutShort: an interrupt, memory running out)
// leaves the backend stale: building operations then record into the cache
// only, value queries answer nothing, and the next operation that needs the
// backend (optimize, update) first rebuilds it: a fresh backend from
// Optimizer::fresh() and a replay of the cache into it. An interrupted change
// stays recorded; one that ran out of memory is undone by the lock's guard
// (roll_back to the mark it took), so either way the cache is whole.
//
// Settings are replayed in the order they were last set. A value the backend
// refuses (KestError::value_refused) is taken back out of the cache, so the
// value it kept is what a replay sends.
//
// Objective coefficients added with add_objective_terms go into the cached
// objective in place; an attached backend receives the whole objective once,
// before the next call that depends on it (optimize, update), and a replay
// sends the cached objective as it stands.
//
// Changes of what the cache holds (bounds, types, names, objective
// coefficients, constraint sets, coefficients, MIP starts) go into the cache
// at once; for an attached backend they are queued, by item, and sent before
// the next call that depends on them (optimize, update) in one call per kind,
// with the values the cache then holds. A backend that does not apply a kind
// (Optimizer's defaults) is marked stale and so rebuilt by a replay; for the
// objective it receives the whole function instead, and MIP starts, being
// hints, are dropped. While changes wait, value queries answer nothing.
//
// The status of the last solve is kept here: every building operation (and
// attaching a backend) sets it back to Loaded, settings leave it. Solve
// details and result vectors are asked of the backend only while the status
// is not Loaded, so they never describe a model that has changed since.
#include <new>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bridge/cached_objective.h"
#include "bridge/model_cache.h"
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
  /// set_objective for terms the caller keeps: the cache stores its own form
  /// of them, so nothing else is copied on the way.
  Status set_objective_of(const ScalarAffineFn& function, OptimizationSense sense);
  Status update() override;
  std::optional<AttrValue> get_model_attr(ModelAttr attr) override;
  Status set_model_attr(ModelAttr attr, AttrValue value) override;
  std::optional<AttrValue> get_optimizer_attr(OptimizerAttr attr) override;
  Status set_optimizer_attr(OptimizerAttr attr, AttrValue value) override;

  Result<SolveStatus> optimize() override;
  Status compute_conflict() override;
  std::optional<double> get_var_value(VarId var) override;
  std::optional<double> get_objective_value() override;
  std::optional<std::vector<double>> get_var_values(std::span<const VarId> vars) override;
  std::optional<SolveInfo> get_solve_info() override;
  /// Asks for the cache's count (constraints for duals and slacks, variables
  /// for reduced costs) whatever `count` says.
  std::optional<std::vector<double>> get_result_vector(ResultVector which, std::size_t count) override;
  std::optional<std::vector<double>> result_vector(ResultVector which) { return get_result_vector(which, 0); }
  /// The last solve's status, Loaded before any and after a change.
  SolveStatus status() const { return status_; }

  /// Replays the cache into backend and installs it on success. On a
  /// KestError or a fault the new backend is destroyed and the bridge keeps
  /// the state it had before the call.
  Status attach_backend(OptimizerBox backend);

  // Whole batches, the modelling layer's road. The cache takes the batch and
  // returns the first new id; an attached backend receives it as one call
  // when it takes batches, else item by item with every argument present.
  VarId add_variable_batch(VariableBatch batch);
  /// As add_variable_batch, the values written straight into the cache.
  VarId add_variable_block(VariableBlock block);
  ConstrId add_constraint_batch(const ConstraintRows& batch, NameRun names);
  /// add_constraint for a function the caller keeps: copied only when a
  /// backend is to receive it.
  ConstrId add_constraint_of(const ScalarFunctionType& function, ScalarSetType set, std::optional<std::string> name);
  /// Adds sum(coeffs[i] * x[first + i]) to the objective (zeros skipped), the
  /// sense staying as set (Minimize when none was). Linear in coeffs.size().
  void add_objective_terms(VarId first, std::span<const double> coeffs);

  // Changes; ids below num_variables() / num_constraints() and variables of
  // rows below 2**32, checked by the caller, as are NaNs. Entry i of each
  // array belongs to item i of the ids; a later entry for the same item wins.
  void change_variable_bounds(std::span<const std::uint64_t> vars, std::span<const double> lowers,
                              std::span<const double> uppers);
  void change_variable_types(std::span<const std::uint64_t> vars, std::span<const char32_t> types);
  void change_variable_names(std::span<const std::uint64_t> vars, std::span<const std::string> names);
  /// Sets the objective coefficients of vars, the rest of the objective
  /// staying (Minimize when no sense was set).
  void change_objective_coefficients(std::span<const std::uint64_t> vars, std::span<const double> coeffs);
  void change_constraint_sets(std::span<const std::uint64_t> rows, std::span<const ScalarSetType> sets);
  /// The coefficient of vars[i] in rows[i] becomes values[i]; 0 takes it out.
  void change_coefficients(std::span<const std::uint64_t> rows, std::span<const std::uint64_t> vars,
                           std::span<const double> values);
  void change_constraint_names(std::span<const std::uint64_t> rows, std::span<const std::string> names);
  /// NaN takes a variable's start away.
  void change_start_values(std::span<const std::uint64_t> vars, std::span<const double> values);

  const VariableTable& variable_table() const { return variables_; }
  const ConstraintTable& constraint_table() const { return constraints_; }
  /// The objective coefficient of each of vars (repeats in the function summed).
  std::vector<double> objective_coefficients(std::span<const VarId> vars) const;
  /// The first variable (constraint) with this name, building the lookup
  /// for the names added since it was last used; nothing for "".
  std::optional<std::uint64_t> find_variable(const std::string& name);
  std::optional<std::uint64_t> find_constraint(const std::string& name);

  /// The state a failed building operation is undone to. Taking it cannot fail.
  struct Mark {
    std::uint64_t variables = 0;
    std::uint64_t constraints = 0;
    CachedObjective::Mark objective;
    std::optional<OptimizationSense> sense;
    bool unsent = false;
  };
  Mark mark() const noexcept;
  /// Undoes every addition made since `m` was taken (within one operation).
  void roll_back(const Mark& m) noexcept;
  /// Why the operation in progress was cut short, if the bridge caught it and
  /// left the cache whole; cleared by reading.
  std::optional<CutShort::Reason> take_cut_short() noexcept { return std::exchange(cut_short_, std::nullopt); }
  /// Whether the backend waits to be rebuilt.
  bool stale() const { return stale_; }

  // Read access to the cache.
  std::size_t num_variables() const { return static_cast<std::size_t>(variables_.size()); }
  std::size_t num_constraints() const { return static_cast<std::size_t>(constraints_.size()); }
  std::size_t num_terms() const { return static_cast<std::size_t>(constraints_.terms()); }
  VarInfo variable(VarId id) const { return variables_.info(id); }
  ConstrInfo constraint(ConstrId id) const { return constraints_.info(id); }
  /// The objective function (a copy in the core's form), if one was set.
  std::optional<ScalarFunctionType> objective_function() const;
  const std::optional<OptimizationSense>& objective_sense() const { return objective_sense_; }
  const CachedObjective& objective() const { return objective_; }
  /// Settings in the order they were last set; a replay sends them so.
  const std::vector<std::pair<OptimizerAttr, AttrValue>>& optimizer_settings() const { return settings_; }
  /// Views of every stored variable and constraint (what a replay sends);
  /// valid while the model's lock is held.
  VariableColumns all_variables() { return variables_.columns(0, variables_.size()); }
  ConstraintColumns all_constraints() { return constraints_.columns(0, constraints_.size()); }
  bool has_backend() const { return backend_ != nullptr; }
  const Optimizer* backend() const { return backend_.get(); }
  bool synchronised() const { return synchronised_; }

 private:
  bool forwarding() const { return synchronised_ && backend_ != nullptr && !stale_; }
  /// The backend, when it can answer now (attached and not stale).
  Optimizer* live() const { return stale_ ? nullptr : backend_.get(); }
  /// Runs a change of the cache; a failed allocation there is noted for the guard.
  template <class Change>
  void record(Change&& change);
  /// Runs a call into the backend; one cut short marks the backend stale.
  template <class Call>
  void forward(Call&& call);
  /// Hands the variables [first, first + n) just stored to an attached backend.
  void send_new_variables(VarId first, std::size_t n);
  /// Rebuilds a stale backend.
  Status heal();
  /// Sends the whole cache to target; the positions of refused settings go to refused.
  Status replay_into(Optimizer& target, std::vector<std::size_t>& refused);
  void install(OptimizerBox backend, const std::vector<std::size_t>& refused);
  /// Installs `next` as the objective with `sense` and sends it to a live backend.
  Status install_objective(CachedObjective next, OptimizationSense sense);
  /// Sends the objective to the backend if it has changed in place since it was last sent.
  Status send_pending_objective();
  /// Sends the queued changes; one the backend does not apply leaves it stale.
  void send_pending_changes();
  /// Runs a change of the cache: the status goes back to Loaded, and an
  /// attached backend is left stale when memory runs out part way.
  template <class Change>
  void change(Change&& apply);

  // Items changed since the backend was last sent changes, by kind.
  struct Pending {
    std::vector<std::uint64_t> bounds, types, var_names, objective, sets, row_names, starts;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> coefficients;  // (row, var)
    bool any = false;
  };
  /// A name -> first id lookup over the items [0, indexed).
  struct NameIndex {
    std::unordered_map<std::string, std::uint64_t> ids;
    std::uint64_t indexed = 0;
  };

  VariableTable variables_;
  ConstraintTable constraints_;
  CachedObjective objective_;
  bool objective_unsent_ = false;
  std::optional<OptimizationSense> objective_sense_;
  OptimizerBox backend_;
  std::vector<std::pair<OptimizerAttr, AttrValue>> settings_;
  bool synchronised_ = false;
  bool stale_ = false;
  std::optional<CutShort::Reason> cut_short_;
  SolveStatus status_ = SolveStatus::Loaded;
  Pending pending_;
  NameIndex variable_names_;
  NameIndex constraint_names_;
};

template <class Change>
void BridgeOptimizer::record(Change&& change) {
  try {
    change();
  } catch (const std::bad_alloc&) {
    cut_short_ = CutShort::Reason::OutOfMemory;
    throw;
  }
}

template <class Call>
void BridgeOptimizer::forward(Call&& call) {
  try {
    call();
  } catch (const CutShort& c) {
    stale_ = true;  // its results go with it
    status_ = SolveStatus::Loaded;
    cut_short_ = c.reason();
    throw;
  } catch (const std::bad_alloc&) {
    stale_ = true;
    status_ = SolveStatus::Loaded;
    cut_short_ = CutShort::Reason::OutOfMemory;
    throw;
  }
}

}  // namespace kest
