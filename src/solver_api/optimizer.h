#pragma once
// The contract between the model cache and whatever solves the model.
// ModelLike builds a model; Optimizer adds solving and reading results.
// Operations are listed in dispatch order.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/attributes.h"
#include "core/errors.h"
#include "core/function.h"
#include "core/ids.h"
#include "core/sets.h"
#include "solver_api/columns.h"
#include "solver_api/utils.h"

namespace kest {

/// A backend call stopped part way for a reason outside the model and the
/// backend (the user interrupted it, memory ran out). Not a fault: the backend
/// may hold part of the change, so whoever drives it rebuilds it before using
/// it again. The caller is told what stopped the call.
class CutShort : public std::exception {
 public:
  enum class Reason : std::uint8_t { Interrupted, OutOfMemory };
  explicit CutShort(Reason reason) : reason_(reason) {}
  Reason reason() const noexcept { return reason_; }
  const char* what() const noexcept override {
    return reason_ == Reason::Interrupted ? "backend call interrupted" : "backend call ran out of memory";
  }

 private:
  Reason reason_;
};

/// Outcome of a solve, numbered as the backend list protocol numbers it. A
/// backend may report numbers not named here; they travel unchanged. Loaded
/// is no solve outcome: it stands for "not solved since the last change".
enum class SolveStatus : std::uint32_t {
  Loaded = 0,
  Other = 1,
  Optimal = 2,
  Infeasible = 3,
  InfOrUnbd = 4,
  Unbounded = 5,
  IterationLimit = 7,
  TimeLimit = 9,
  SolutionLimit = 10,
  Interrupted = 11,
  Numeric = 12,
};

/// What a backend tells about its last solve beyond the status; each part is
/// absent when it does not say.
struct SolveInfo {
  std::optional<std::int64_t> sol_count;
  std::optional<double> obj_bound;
  std::optional<double> mip_gap;
  std::optional<double> runtime;
  std::optional<std::string> status_text;
  std::optional<std::int64_t> iterations;  // simplex iterations (or the solver's nearest count)
};

/// Per-constraint (by position) or per-variable results of a solve.
enum class ResultVector : std::uint8_t { ConstraintDuals = 0, ReducedCosts = 1, ConstraintSlacks = 2 };

class ModelLike {
 public:
  virtual ~ModelLike() = default;

  virtual VarId add_variable(std::optional<std::string_view> name, std::optional<char32_t> vtype,
                             std::optional<double> lower, std::optional<double> upper) = 0;
  virtual std::vector<VarId> add_variables(std::size_t count, std::optional<NameType> names,
                                           std::optional<std::vector<char32_t>> vtypes,
                                           std::optional<BoundType> lowers, std::optional<BoundType> uppers) = 0;
  virtual ConstrId add_constraint(ScalarFunctionType function, ScalarSetType set,
                                  std::optional<std::string> name) = 0;
  virtual std::vector<ConstrId> add_constraints(std::vector<ScalarFunctionType> functions,
                                                std::vector<ScalarSetType> sets,
                                                std::optional<std::vector<std::string>> names) = 0;
  virtual Status set_objective(ScalarFunctionType function, OptimizationSense sense) = 0;
  /// The objective as the cache holds it; by default set_objective with its
  /// function. A backend that can keep the shared terms overrides it.
  virtual Status set_objective_columns(const ObjectiveColumns& objective, OptimizationSense sense) {
    return set_objective(objective.function(), sense);
  }
  virtual Status update() = 0;
  virtual std::optional<AttrValue> get_model_attr(ModelAttr attr) = 0;
  virtual Status set_model_attr(ModelAttr attr, AttrValue value) = 0;
  virtual std::optional<AttrValue> get_optimizer_attr(OptimizerAttr attr) = 0;
  /// KestError::value_refused() when the backend kept the value it had.
  virtual Status set_optimizer_attr(OptimizerAttr attr, AttrValue value) = 0;

  // Whole batches in columnar form. The defaults speak the operations above:
  // one add_variables / add_constraints call with every argument present,
  // which is how a replay reaches a backend that offers nothing more.
  virtual void add_variable_columns(const VariableColumns& batch);
  virtual void add_constraint_columns(const ConstraintColumns& batch);
  /// Whether a batch made while attached should arrive as one add_*_columns
  /// call; when false the bridge forwards it item by item.
  virtual bool takes_variable_batches() const { return false; }
  virtual bool takes_constraint_batches() const { return false; }
};

class Optimizer : public ModelLike {
 public:
  virtual Result<SolveStatus> optimize() = 0;
  virtual Status compute_conflict() = 0;
  virtual std::optional<double> get_var_value(VarId var) = 0;
  virtual std::optional<double> get_objective_value() = 0;
  /// The values of `vars`, in their order, or nothing when there are none.
  /// The default asks get_var_value for each; a variable without a value reads NaN.
  virtual std::optional<std::vector<double>> get_var_values(std::span<const VarId> vars);
  /// A new, empty backend of the same kind and settings-free, to rebuild this
  /// one into after a call was cut short; null when there is no way to make one.
  virtual std::unique_ptr<Optimizer> fresh() { return nullptr; }
  /// Details of the last solve; the default knows none.
  virtual std::optional<SolveInfo> get_solve_info() { return std::nullopt; }
  /// `which` for every constraint or variable, `count` of them, or nothing
  /// when the last solve left none; the default has none.
  virtual std::optional<std::vector<double>> get_result_vector(ResultVector /*which*/, std::size_t /*count*/) {
    return std::nullopt;
  }

  // Changes of what the backend already holds, in batches: entry i of each
  // array belongs to item indices[i]. Each answers whether the backend
  // applied the change; false (what these defaults answer) leaves it to the
  // caller, which rebuilds the backend by a replay before the next solve
  // (the objective is sent whole instead, a start is a hint and dropped).
  /// New bounds; a binary variable's already within [0, 1].
  virtual bool set_variable_bounds(std::span<const std::uint64_t> /*vars*/, std::span<const double> /*lowers*/,
                                   std::span<const double> /*uppers*/) {
    return false;
  }
  virtual bool set_variable_types(std::span<const std::uint64_t> /*vars*/, std::span<const char32_t> /*types*/) {
    return false;
  }
  virtual bool set_variable_names(std::span<const std::uint64_t> /*vars*/, std::span<const std::string> /*names*/) {
    return false;
  }
  virtual bool set_objective_coefficients(std::span<const std::uint64_t> /*vars*/,
                                          std::span<const double> /*coeffs*/) {
    return false;
  }
  /// New bounds on a row's sum of terms, its constant moved to them (-inf,
  /// +inf where a side is open): this covers every sense and ranges.
  virtual bool set_constraint_bounds(std::span<const std::uint64_t> /*rows*/, std::span<const double> /*lowers*/,
                                     std::span<const double> /*uppers*/) {
    return false;
  }
  /// The coefficient of vars[i] in rows[i] becomes values[i] (0: the term goes).
  virtual bool set_coefficients(std::span<const std::uint64_t> /*rows*/, std::span<const std::uint64_t> /*vars*/,
                                std::span<const double> /*values*/) {
    return false;
  }
  virtual bool set_constraint_names(std::span<const std::uint64_t> /*rows*/,
                                    std::span<const std::string> /*names*/) {
    return false;
  }
  /// MIP start values; NaN: no start for that variable.
  virtual bool set_start_values(std::span<const std::uint64_t> /*vars*/, std::span<const double> /*values*/) {
    return false;
  }
};

/// The owned backend handle. Calls are serialised by the model's lock, but may
/// arrive on any thread, so implementations must not rely on the creating thread.
using OptimizerBox = std::unique_ptr<Optimizer>;

}  // namespace kest
