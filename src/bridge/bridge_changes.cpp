// BridgeOptimizer: changes of what the cache holds, their queue for an
// attached backend, and the lookups by name.
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "bridge/bridge_optimizer.h"

namespace kest {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

/// Sorts and dedupes a queue, dropping ids at or past `limit` (items a failed
/// operation took back out).
template <class T, class Key>
void settle(std::vector<T>& queue, std::uint64_t limit, Key&& key) {
  std::sort(queue.begin(), queue.end());
  queue.erase(std::unique(queue.begin(), queue.end()), queue.end());
  std::erase_if(queue, [&](const T& item) { return key(item) >= limit; });
}

void settle(std::vector<std::uint64_t>& queue, std::uint64_t limit) {
  settle(queue, limit, [](std::uint64_t id) { return id; });
}

/// Appends ids to a queue; one that has grown well past the number of items
/// (a loop changing the same few) is deduped on the way, so it stays in
/// proportion to the model.
void enqueue(std::vector<std::uint64_t>& queue, std::span<const std::uint64_t> ids, std::uint64_t items) {
  queue.insert(queue.end(), ids.begin(), ids.end());
  if (queue.size() > 2 * items + 1024) settle(queue, std::numeric_limits<std::uint64_t>::max());
}

/// The bounds a row's sum of terms must lie in, its constant moved across.
std::pair<double, double> row_bounds(const ScalarSetType& set, double constant) {
  switch (set.kind) {
    case ScalarSetType::Kind::GreaterThan:
      return {set.value - constant, kInfinity};
    case ScalarSetType::Kind::LessThan:
      return {-kInfinity, set.value - constant};
    case ScalarSetType::Kind::EqualTo:
      return {set.value - constant, set.value - constant};
    case ScalarSetType::Kind::Interval:
      break;
  }
  return {set.value - constant, set.upper - constant};
}

}  // namespace

template <class Change>
void BridgeOptimizer::change(Change&& apply) {
  status_ = SolveStatus::Loaded;
  try {
    apply();
  } catch (const std::bad_alloc&) {
    // The cache may hold part of the change: a replay makes the backend agree.
    cut_short_ = CutShort::Reason::OutOfMemory;
    if (backend_) stale_ = true;
    throw;
  }
}

void BridgeOptimizer::change_variable_bounds(std::span<const std::uint64_t> vars, std::span<const double> lowers,
                                             std::span<const double> uppers) {
  change([&] {
    for (std::size_t i = 0; i < vars.size(); ++i) variables_.set_bounds(vars[i], lowers[i], uppers[i]);
    if (!forwarding()) return;
    enqueue(pending_.bounds, vars, variables_.size());
    pending_.any = true;
  });
}

void BridgeOptimizer::change_variable_types(std::span<const std::uint64_t> vars, std::span<const char32_t> types) {
  change([&] {
    for (std::size_t i = 0; i < vars.size(); ++i) variables_.set_type(vars[i], types[i]);
    if (!forwarding()) return;
    enqueue(pending_.types, vars, variables_.size());
    pending_.any = true;
  });
}

void BridgeOptimizer::change_variable_names(std::span<const std::uint64_t> vars,
                                            std::span<const std::string> names) {
  change([&] {
    variables_.rename(vars, names);
    variable_names_ = NameIndex{};
    if (!forwarding()) return;
    enqueue(pending_.var_names, vars, variables_.size());
    pending_.any = true;
  });
}

void BridgeOptimizer::change_objective_coefficients(std::span<const std::uint64_t> vars,
                                                    std::span<const double> coeffs) {
  if (vars.empty()) return;
  change([&] {
    // The last entry for a variable wins.
    std::vector<std::pair<std::uint64_t, double>> wanted;
    wanted.reserve(vars.size());
    for (std::size_t i = 0; i < vars.size(); ++i) wanted.emplace_back(vars[i], coeffs[i]);
    std::stable_sort(wanted.begin(), wanted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::pair<std::uint64_t, double>> last;
    last.reserve(wanted.size());
    for (std::size_t i = 0; i < wanted.size(); ++i)
      if (i + 1 == wanted.size() || wanted[i + 1].first != wanted[i].first) last.push_back(wanted[i]);

    ScalarAffineFn fn = objective_.affine();
    fn.simplify();  // ascending by variable, one term each
    const std::size_t old = fn.terms.size();
    for (const auto& [var, coeff] : last) {
      auto end = fn.terms.begin() + static_cast<std::ptrdiff_t>(old);
      auto it = std::lower_bound(fn.terms.begin(), end, var, [](const AffineTerm& t, std::uint64_t v) {
        return t.var.index < v;
      });
      if (it != end && it->var.index == var)
        it->coeff = coeff;
      else if (coeff != 0.0)
        fn.terms.push_back(AffineTerm{VarId{var}, coeff});
    }
    fn.simplify();  // the new terms into place, zeros out
    objective_.assign(ScalarFunctionType(std::move(fn)));
    if (!objective_sense_) objective_sense_ = OptimizationSense::Minimize;
    if (!forwarding()) return;
    enqueue(pending_.objective, vars, variables_.size());
    pending_.any = true;
  });
}

void BridgeOptimizer::change_constraint_sets(std::span<const std::uint64_t> rows,
                                             std::span<const ScalarSetType> sets) {
  change([&] {
    for (std::size_t i = 0; i < rows.size(); ++i) constraints_.set_set(rows[i], sets[i]);
    if (!forwarding()) return;
    enqueue(pending_.sets, rows, constraints_.size());
    pending_.any = true;
  });
}

void BridgeOptimizer::change_coefficients(std::span<const std::uint64_t> rows, std::span<const std::uint64_t> vars,
                                          std::span<const double> values) {
  change([&] {
    for (std::size_t i = 0; i < rows.size(); ++i)
      constraints_.set_coefficient(rows[i], static_cast<std::uint32_t>(vars[i]), values[i]);
    if (!forwarding()) return;
    for (std::size_t i = 0; i < rows.size(); ++i) pending_.coefficients.emplace_back(rows[i], vars[i]);
    pending_.any = true;
  });
}

void BridgeOptimizer::change_constraint_names(std::span<const std::uint64_t> rows,
                                              std::span<const std::string> names) {
  change([&] {
    constraints_.rename(rows, names);
    constraint_names_ = NameIndex{};
    if (!forwarding()) return;
    enqueue(pending_.row_names, rows, constraints_.size());
    pending_.any = true;
  });
}

void BridgeOptimizer::change_start_values(std::span<const std::uint64_t> vars, std::span<const double> values) {
  change([&] {
    for (std::size_t i = 0; i < vars.size(); ++i) variables_.set_start(vars[i], values[i]);
    if (!forwarding()) return;
    enqueue(pending_.starts, vars, variables_.size());
    pending_.any = true;
  });
}

void BridgeOptimizer::send_pending_changes() {
  if (!pending_.any) return;
  Pending p = std::move(pending_);
  pending_ = Pending{};
  if (!forwarding()) return;
  const std::uint64_t n = variables_.size(), m = constraints_.size();
  bool applied = true;
  forward([&] {
    auto gather = [](const std::vector<std::uint64_t>& ids, auto&& value) {
      std::vector<std::decay_t<decltype(value(0))>> out;
      out.reserve(ids.size());
      for (auto id : ids) out.push_back(value(id));
      return out;
    };
    if (!p.var_names.empty()) {
      settle(p.var_names, n);
      auto names = gather(p.var_names, [&](std::uint64_t i) { return variables_.name(i); });
      applied = backend_->set_variable_names(p.var_names, names);
    }
    if (applied && !p.types.empty()) {
      settle(p.types, n);
      auto types = gather(p.types, [&](std::uint64_t i) { return variables_.type(i); });
      applied = backend_->set_variable_types(p.types, types);
      // A type to or from binary moves the bounds the backend holds.
      p.bounds.insert(p.bounds.end(), p.types.begin(), p.types.end());
    }
    if (applied && !p.bounds.empty()) {
      settle(p.bounds, n);
      std::vector<double> lowers, uppers;
      lowers.reserve(p.bounds.size());
      uppers.reserve(p.bounds.size());
      for (auto i : p.bounds) {
        double lo = variables_.lower(i), hi = variables_.upper(i);
        if (variables_.type(i) == kBinary) {
          lo = std::max(lo, 0.0);
          hi = std::min(hi, 1.0);
        }
        lowers.push_back(lo);
        uppers.push_back(hi);
      }
      applied = backend_->set_variable_bounds(p.bounds, lowers, uppers);
    }
    if (applied && !p.sets.empty()) {
      settle(p.sets, m);
      std::vector<double> lowers, uppers;
      lowers.reserve(p.sets.size());
      uppers.reserve(p.sets.size());
      for (auto r : p.sets) {
        auto [lo, hi] = row_bounds(constraints_.set(r), constraints_.constant(r));
        lowers.push_back(lo);
        uppers.push_back(hi);
      }
      applied = backend_->set_constraint_bounds(p.sets, lowers, uppers);
    }
    if (applied && !p.coefficients.empty()) {
      settle(p.coefficients, m, [](const auto& rc) { return rc.first; });
      std::vector<std::uint64_t> rows, vars;
      std::vector<double> values;
      rows.reserve(p.coefficients.size());
      vars.reserve(p.coefficients.size());
      values.reserve(p.coefficients.size());
      for (auto [r, v] : p.coefficients) {
        rows.push_back(r);
        vars.push_back(v);
        values.push_back(constraints_.coefficient(r, static_cast<std::uint32_t>(v)));
      }
      applied = backend_->set_coefficients(rows, vars, values);
    }
    if (applied && !p.row_names.empty()) {
      settle(p.row_names, m);
      auto names = gather(p.row_names, [&](std::uint64_t r) { return constraints_.name(r); });
      applied = backend_->set_constraint_names(p.row_names, names);
    }
    if (!applied) return;
    // The whole objective is on its way when it is unsent: it holds these.
    if (!p.objective.empty() && !objective_unsent_) {
      settle(p.objective, n);
      std::vector<VarId> ids;
      ids.reserve(p.objective.size());
      for (auto i : p.objective) ids.push_back(VarId{i});
      if (!backend_->set_objective_coefficients(p.objective, objective_coefficients(ids))) objective_unsent_ = true;
    }
    if (!p.starts.empty()) {
      settle(p.starts, n);
      auto values = gather(p.starts, [&](std::uint64_t i) { return variables_.start(i); });
      (void)backend_->set_start_values(p.starts, values);
    }
  });
  if (!applied) {
    stale_ = true;
    status_ = SolveStatus::Loaded;
  }
}

std::vector<double> BridgeOptimizer::objective_coefficients(std::span<const VarId> vars) const {
  std::vector<double> out(vars.size(), 0.0);
  if (!objective_ || vars.empty()) return out;
  // Read without simplifying: readers share the cache, so it is not changed here.
  std::unordered_map<std::uint64_t, double> few;
  std::vector<double> dense;
  const bool by_table = vars.size() * 4 >= variables_.size();
  if (by_table) dense.assign(static_cast<std::size_t>(variables_.size()), 0.0);
  auto add = [&](VarId v, double c) {
    if (by_table) {
      if (v.index < dense.size()) dense[static_cast<std::size_t>(v.index)] += c;
    } else {
      few[v.index] += c;
    }
  };
  objective_.for_each_term(add);
  for (std::size_t i = 0; i < vars.size(); ++i) {
    if (by_table) {
      if (vars[i].index < dense.size()) out[i] = dense[static_cast<std::size_t>(vars[i].index)];
    } else if (auto it = few.find(vars[i].index); it != few.end()) {
      out[i] = it->second;
    }
  }
  return out;
}

namespace {

template <class Table>
std::optional<std::uint64_t> find_name(auto& index, Table& table, std::uint64_t size, const std::string& name) {
  if (name.empty()) return std::nullopt;
  if (index.indexed > size) index = {};
  if (index.indexed < size) {
    // Linear once: only the items added since the last lookup are read.
    NameSlice names = table.names(index.indexed, size - index.indexed);
    std::string text;
    for (std::uint64_t i = 0; i < names.size(); ++i) {
      text.clear();
      names.append(text, i);
      if (!text.empty()) index.ids.try_emplace(text, index.indexed + i);
    }
    index.indexed = size;
  }
  auto it = index.ids.find(name);
  if (it == index.ids.end()) return std::nullopt;
  return it->second;
}

}  // namespace

std::optional<std::uint64_t> BridgeOptimizer::find_variable(const std::string& name) {
  return find_name(variable_names_, variables_, variables_.size(), name);
}

std::optional<std::uint64_t> BridgeOptimizer::find_constraint(const std::string& name) {
  return find_name(constraint_names_, constraints_, constraints_.size(), name);
}

}  // namespace kest
