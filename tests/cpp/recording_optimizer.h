#pragma once
// A fake Optimizer that writes every call, arguments rendered as text, into a
// journal shared with the test. The journal outlives the fake, so a test can
// read it after the bridge has destroyed the backend; the destruction itself
// is an entry, which makes its order observable.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/debug_text.h"
#include "core/fault.h"
#include "solver_api/optimizer.h"

namespace kest::testing {

struct Journal {
  std::vector<std::string> events;  // "<label>: <call>"

  std::vector<std::string> of(const std::string& label) const {
    std::vector<std::string> out;
    for (const auto& e : events)
      if (e.rfind(label + ": ", 0) == 0) out.push_back(e.substr(label.size() + 2));
    return out;
  }
  bool destroyed(const std::string& label) const { return std::ranges::count(of(label), "destroyed") > 0; }
};

inline std::string render(std::optional<std::string_view> s) {
  if (!s) return "None";
  std::string out;
  append_quoted(out, *s);
  return out;
}
inline std::string render(char32_t c) { return std::string("'") + static_cast<char>(c) + "'"; }
inline std::string render(std::optional<char32_t> c) { return c ? render(*c) : "None"; }
inline std::string render(std::optional<double> v) { return v ? float_text(*v) : "None"; }
inline std::string render(const std::string& s) { return render(std::optional<std::string_view>(s)); }
inline std::string render(const ScalarFunctionType& f) { return debug_text(f); }
inline std::string render(const ScalarSetType& s) { return debug_text(s); }
template <class T>
std::string render(const std::vector<T>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + render(items[i]);
  return out + "]";
}
template <class T>
std::string render(const std::optional<std::vector<T>>& items) { return items ? render(*items) : "None"; }
inline std::string render(const std::optional<NameType>& n) {
  if (!n) return "None";
  if (const auto* p = n->as_prefix()) return "Prefix(" + render(*p) + ")";
  return "List(" + render(*n->as_list()) + ")";
}
inline std::string render(const std::optional<BoundType>& b) {
  if (!b) return "None";
  if (const auto* v = b->as_scalar()) return "Scalar(" + float_text(*v) + ")";
  std::vector<std::optional<double>> list(b->as_list()->begin(), b->as_list()->end());
  return "List(" + render(list) + ")";
}

class RecordingOptimizer final : public Optimizer {
 public:
  RecordingOptimizer(std::string label, std::shared_ptr<Journal> journal)
      : label_(std::move(label)), journal_(std::move(journal)) {}
  ~RecordingOptimizer() override { journal_->events.push_back(label_ + ": destroyed"); }

  // Knobs, set by the test before or after handing the fake to the bridge.
  std::optional<KestError> objective_error;       // set_objective answers this
  std::optional<OptimizerAttr> rejected_setting;  // set_optimizer_attr refuses this key...
  KestError setting_error = KestError::unsupported_attribute();  // ...with this error
  std::string fault_in;                           // this operation throws kest::Fault
  Result<SolveStatus> optimize_result = SolveStatus::Optimal;

  // The ids returned are deliberately wrong: the bridge must ignore them.
  VarId add_variable(std::optional<std::string_view> name, std::optional<char32_t> vtype,
                     std::optional<double> lower, std::optional<double> upper) override {
    record("add_variable", render(name) + ", " + render(vtype) + ", " + render(lower) + ", " + render(upper));
    return VarId{999};
  }
  std::vector<VarId> add_variables(std::size_t count, std::optional<NameType> names,
                                   std::optional<std::vector<char32_t>> vtypes, std::optional<BoundType> lowers,
                                   std::optional<BoundType> uppers) override {
    record("add_variables", std::to_string(count) + ", " + render(names) + ", " + render(vtypes) + ", " +
                                render(lowers) + ", " + render(uppers));
    return std::vector<VarId>(count, VarId{999});
  }
  ConstrId add_constraint(ScalarFunctionType function, ScalarSetType set, std::optional<std::string> name) override {
    record("add_constraint", render(function) + ", " + render(set) + ", " +
                                 (name ? render(*name) : std::string("None")));
    return ConstrId{999};
  }
  std::vector<ConstrId> add_constraints(std::vector<ScalarFunctionType> functions, std::vector<ScalarSetType> sets,
                                        std::optional<std::vector<std::string>> names) override {
    record("add_constraints", render(functions) + ", " + render(sets) + ", " + render(names));
    return std::vector<ConstrId>(functions.size(), ConstrId{999});
  }
  Status set_objective(ScalarFunctionType function, OptimizationSense sense) override {
    record("set_objective", render(function) + ", " + debug_text(sense));
    return objective_error ? Status(*objective_error) : Status::success();
  }
  Status set_optimizer_attr(OptimizerAttr attr, AttrValue value) override {
    record("set_optimizer_attr", debug_text(attr) + ", " + debug_text(value));
    return rejected_setting == attr ? Status(setting_error) : Status::success();
  }
  Status set_model_attr(ModelAttr attr, AttrValue value) override {
    record("set_model_attr", debug_text(attr) + ", " + debug_text(value));
    return Status::success();
  }
  Result<SolveStatus> optimize() override { record("optimize"); return optimize_result; }
  std::optional<double> get_var_value(VarId var) override {
    record("get_var_value", debug_text(var));
    return 100.0 + static_cast<double>(var.index);
  }
  std::optional<double> get_objective_value() override { record("get_objective_value"); return 42.5; }
  std::optional<SolveInfo> get_solve_info() override {
    record("get_solve_info");
    return SolveInfo{1, std::nullopt, std::nullopt, 0.5, "fake"};
  }
  /// `count` copies of the vector's number.
  std::optional<std::vector<double>> get_result_vector(ResultVector which, std::size_t count) override {
    record("get_result_vector", std::to_string(static_cast<int>(which)) + ", " + std::to_string(count));
    return std::vector<double>(count, static_cast<double>(which));
  }
  Status update() override { record("update"); return Status::success(); }
  Status compute_conflict() override { record("compute_conflict"); return Status::success(); }
  std::optional<AttrValue> get_model_attr(ModelAttr a) override { record("get_model_attr", debug_text(a)); return {}; }
  std::optional<AttrValue> get_optimizer_attr(OptimizerAttr a) override {
    record("get_optimizer_attr", debug_text(a));
    return {};
  }

 private:
  void record(const std::string& op, const std::string& args = "") {
    journal_->events.push_back(label_ + ": " + op + "(" + args + ")");
    if (fault_in == op) throw Fault("fake fault in " + op);
  }

  std::string label_;
  std::shared_ptr<Journal> journal_;
};

}  // namespace kest::testing
