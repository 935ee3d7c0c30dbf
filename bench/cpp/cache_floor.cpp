// The floor for kestpy's own layers: the same cache operations the Python
// micro-benchmarks time, driven from a C++ loop with no interpreter involved.
// Prints one JSON object of nanoseconds per operation.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bridge/bridge_optimizer.h"

namespace {

using Clock = std::chrono::steady_clock;

/// A backend that accepts everything and keeps nothing.
class NullOptimizer final : public kest::Optimizer {
 public:
  kest::VarId add_variable(std::optional<std::string_view>, std::optional<char32_t>, std::optional<double>,
                           std::optional<double>) override {
    return kest::VarId{n_++};
  }
  std::vector<kest::VarId> add_variables(std::size_t count, std::optional<kest::NameType>,
                                         std::optional<std::vector<char32_t>>, std::optional<kest::BoundType>,
                                         std::optional<kest::BoundType>) override {
    return std::vector<kest::VarId>(count);
  }
  kest::ConstrId add_constraint(kest::ScalarFunctionType, kest::ScalarSetType, std::optional<std::string>) override {
    return kest::ConstrId{0};
  }
  std::vector<kest::ConstrId> add_constraints(std::vector<kest::ScalarFunctionType> f, std::vector<kest::ScalarSetType>,
                                              std::optional<std::vector<std::string>>) override {
    nonzeros_ = 0;
    for (const auto& fn : f) nonzeros_ += fn.affine() ? fn.affine()->terms.size() : 1;
    return std::vector<kest::ConstrId>(f.size());
  }
  kest::Status set_objective(kest::ScalarFunctionType, kest::OptimizationSense) override { return {}; }
  kest::Status update() override { return {}; }
  std::optional<kest::AttrValue> get_model_attr(kest::ModelAttr) override { return std::nullopt; }
  kest::Status set_model_attr(kest::ModelAttr, kest::AttrValue) override { return {}; }
  std::optional<kest::AttrValue> get_optimizer_attr(kest::OptimizerAttr) override { return std::nullopt; }
  kest::Status set_optimizer_attr(kest::OptimizerAttr, kest::AttrValue) override { return {}; }
  kest::Result<kest::SolveStatus> optimize() override { return kest::SolveStatus::Optimal; }
  kest::Status compute_conflict() override { return {}; }
  std::optional<double> get_var_value(kest::VarId) override { return std::nullopt; }
  std::optional<double> get_objective_value() override { return std::nullopt; }

  std::size_t nonzeros_ = 0;

 private:
  std::uint64_t n_ = 0;
};

template <class F>
double ns_per_op(std::size_t ops, F&& body) {
  auto t0 = Clock::now();
  body();
  auto t1 = Clock::now();
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(ops);
}

volatile double sink = 0.0;

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;

  kest::BridgeOptimizer bridge;
  const double add_var = ns_per_op(n, [&] {
    for (std::size_t i = 0; i < n; ++i) bridge.add_variable(std::string_view(), std::nullopt, 0.0, 1e30);
  });

  kest::BridgeOptimizer block;
  const double add_vars = ns_per_op(n, [&] {
    std::vector<std::string> names(n);
    for (std::size_t i = 0; i < n; ++i) names[i] = "x[" + std::to_string(i) + "]";
    block.add_variables(n, kest::NameType::list(std::move(names)), std::vector<char32_t>(n, U'C'),
                        kest::BoundType::list(std::vector<double>(n, 0.0)),
                        kest::BoundType::list(std::vector<double>(n, 1e30)));
  });

  const double index = ns_per_op(n, [&] {
    double s = 0;
    for (std::size_t i = 0; i < n; ++i) s += block.variable(kest::VarId{(i * 7919) % n}).upper;
    sink = s;
  });

  const double add_xy = ns_per_op(n, [&] {
    for (std::size_t i = 0; i + 1 < n + 1; ++i) {
      kest::ScalarAffineFn x, y;
      x.push_term(kest::VarId{i}, 1.0);
      x.push_term(kest::VarId{i + 1}, 1.0);
      x.simplify();
      sink = sink + static_cast<double>(x.terms.size() + y.terms.size());
    }
  });

  const double times_two = ns_per_op(n, [&] {
    for (std::size_t i = 0; i < n; ++i) {
      kest::ScalarAffineFn f;
      f.push_term(kest::VarId{i}, 2.0);
      f.simplify();
      sink = sink + f.terms[0].coeff;
    }
  });

  kest::ScalarAffineFn acc;
  const double quicksum = ns_per_op(n, [&] {
    for (std::size_t i = 0; i < n; ++i) acc.push_term(kest::VarId{i}, 1.0);
  });

  const std::size_t m = n / 10;
  kest::BridgeOptimizer model;
  for (std::size_t i = 0; i < n; ++i) model.add_variable(std::string_view(), std::nullopt, 0.0, 1.0);
  const double add_constr = ns_per_op(m, [&] {
    for (std::size_t i = 0; i < m; ++i) {
      kest::ScalarAffineFn f;
      f.push_term(kest::VarId{i}, 1.0);
      f.push_term(kest::VarId{i + 1}, 2.0);
      f.constant = -3.0;
      model.add_constraint(std::move(f), kest::ScalarSetType::less_than(0.0), "c");
    }
  });

  auto backend = std::make_unique<NullOptimizer>();
  NullOptimizer* null = backend.get();
  double replay_total = ns_per_op(1, [&] { (void)model.attach_backend(std::move(backend)); });
  const double replay = replay_total / static_cast<double>(null->nonzeros_ ? null->nonzeros_ : 1);

  std::printf(
      "{\"n\": %zu, \"addVar\": %.2f, \"addVars_per_var\": %.2f, \"Vars_index\": %.2f, \"x_plus_y\": %.2f, "
      "\"two_times_x\": %.2f, \"quicksum_per_var\": %.2f, \"addConstr\": %.2f, \"replay_per_nonzero\": %.2f}\n",
      n, add_var, add_vars, index, add_xy, times_two, quicksum, add_constr, replay);
  return 0;
}
