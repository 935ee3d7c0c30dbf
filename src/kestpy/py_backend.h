#pragma once
// The solver-interface implementation that drives a Python backend object.
//
// Every operation that reaches the backend attaches to the interpreter, builds
// plain Python values (int, float, str, list, None), looks the method up by
// ordinary attribute access and calls it with positional arguments only.
// Nothing here returns a KestError: a raise, a missing method or a result of
// the wrong type is a fault carrying the Python error.
//
// The array channel: a backend whose class defines add_variable_arrays,
// add_constraint_arrays, set_objective_arrays or get_var_values receives whole
// batches as arrays that own their memory (and answers all values at once)
// instead of the list calls those replace. The methods are looked up once, on
// the class, when the adapter is made; a backend without them sees only the
// list protocol. The same holds for the optional result methods
// get_solve_info, get_constraint_duals, get_reduced_costs and
// get_constraint_slacks; without them the adapter answers "none".
//
// A KeyboardInterrupt raised by the backend's optimize is no fault: the solve
// ends as Interrupted and the exception waits, taken out of the interpreter,
// until the caller has released the model and calls raise_pending_interrupt.
#include "kestpy/py_ref.h"
#include "solver_api/optimizer.h"

namespace kestpy {

class PyBackend final : public kest::Optimizer {
 public:
  /// Takes over one reference to the backend object and looks up which
  /// optional methods its class defines (a failed lookup is a fault).
  explicit PyBackend(PyRef backend);
  /// As above, remembering how the backend was made, factory(model_name,
  /// None), so that fresh() can make another.
  PyBackend(PyRef backend, PyRef factory, PyRef model_name);
  /// Releases the backend object now when this thread holds the interpreter
  /// lock, otherwise at the next attach.
  ~PyBackend() override;
  PyBackend(const PyBackend&) = delete;
  PyBackend& operator=(const PyBackend&) = delete;

  /// The backend object, borrowed (for the garbage collector's traversal).
  PyObject* object() const noexcept { return backend_.get(); }

  kest::VarId add_variable(std::optional<std::string_view> name, std::optional<char32_t> vtype,
                           std::optional<double> lower, std::optional<double> upper) override;
  std::vector<kest::VarId> add_variables(std::size_t count, std::optional<kest::NameType> names,
                                         std::optional<std::vector<char32_t>> vtypes,
                                         std::optional<kest::BoundType> lowers,
                                         std::optional<kest::BoundType> uppers) override;
  kest::ConstrId add_constraint(kest::ScalarFunctionType function, kest::ScalarSetType set,
                                std::optional<std::string> name) override;
  std::vector<kest::ConstrId> add_constraints(std::vector<kest::ScalarFunctionType> functions,
                                              std::vector<kest::ScalarSetType> sets,
                                              std::optional<std::vector<std::string>> names) override;
  kest::Status set_objective(kest::ScalarFunctionType function, kest::OptimizationSense sense) override;
  kest::Status set_objective_columns(const kest::ObjectiveColumns& objective, kest::OptimizationSense sense) override;
  kest::Status update() override;
  std::optional<kest::AttrValue> get_model_attr(kest::ModelAttr attr) override;
  kest::Status set_model_attr(kest::ModelAttr attr, kest::AttrValue value) override;
  std::optional<kest::AttrValue> get_optimizer_attr(kest::OptimizerAttr attr) override;
  kest::Status set_optimizer_attr(kest::OptimizerAttr attr, kest::AttrValue value) override;

  kest::Result<kest::SolveStatus> optimize() override;
  kest::Status compute_conflict() override;
  std::optional<double> get_var_value(kest::VarId var) override;
  std::optional<double> get_objective_value() override;

  void add_variable_columns(const kest::VariableColumns& batch) override;
  void add_constraint_columns(const kest::ConstraintColumns& batch) override;
  bool takes_variable_batches() const override { return has_.variable_arrays; }
  bool takes_constraint_batches() const override { return has_.constraint_arrays; }
  std::optional<std::vector<double>> get_var_values(std::span<const kest::VarId> vars) override;
  /// A new backend object from the factory this one came from; null without one.
  std::unique_ptr<kest::Optimizer> fresh() override;
  std::optional<kest::SolveInfo> get_solve_info() override;
  std::optional<std::vector<double>> get_result_vector(kest::ResultVector which, std::size_t count) override;

  // Changes in place: each calls the backend's method of the same name when
  // its class defines one (indices int64, values float64, types uint8 codes,
  // names a list of str); False from it, or no such method, is "not applied".
  bool set_variable_bounds(std::span<const std::uint64_t> vars, std::span<const double> lowers,
                           std::span<const double> uppers) override;
  bool set_variable_types(std::span<const std::uint64_t> vars, std::span<const char32_t> types) override;
  bool set_variable_names(std::span<const std::uint64_t> vars, std::span<const std::string> names) override;
  bool set_objective_coefficients(std::span<const std::uint64_t> vars, std::span<const double> coeffs) override;
  bool set_constraint_bounds(std::span<const std::uint64_t> rows, std::span<const double> lowers,
                             std::span<const double> uppers) override;
  bool set_coefficients(std::span<const std::uint64_t> rows, std::span<const std::uint64_t> vars,
                        std::span<const double> values) override;
  bool set_constraint_names(std::span<const std::uint64_t> rows, std::span<const std::string> names) override;
  bool set_start_values(std::span<const std::uint64_t> vars, std::span<const double> values) override;

 private:
  struct Channel {
    bool variable_arrays = false;
    bool constraint_arrays = false;
    bool objective_arrays = false;
    bool var_values = false;
    bool solve_info = false;
    bool result_vector[3] = {false, false, false};  // by kest::ResultVector
    bool change[8] = {};                             // by ChangeMethod (py_backend_changes.cpp)
  };
  /// Calls the change method `which` with `args`; its answer as "applied".
  template <class... Args>
  bool call_change(std::size_t which, const Args&... args);
  PyRef backend_;
  PyRef factory_;
  PyRef model_name_;
  Channel has_;
};

/// The interned name of change method `which` (0 to 7, in the order
/// PyBackend declares them), for the lookup on the backend's class.
PyObject* change_method_name(std::size_t which);

/// Sets the KeyboardInterrupt that a backend's optimize raised on this thread
/// as the current Python error and returns true; false when there is none.
/// The caller holds the interpreter lock.
bool raise_pending_interrupt() noexcept;

}  // namespace kestpy
