#include "bridge/model_cache.h"

#include <algorithm>

#include "core/fault.h"

namespace kest {

namespace {

template <class T>
void append_all(std::vector<T>& to, const std::vector<T>& from) {
  to.insert(to.end(), from.begin(), from.end());
}

// Room for `more` entries, growing geometrically: appends after it cannot
// fail, so an append either happens whole or, on a failed allocation here,
// not at all.
template <class T>
void make_room(std::vector<T>& v, std::size_t more) {
  const std::size_t need = v.size() + more;
  if (need > v.capacity()) v.reserve(std::max(need, v.capacity() + v.capacity() / 2));
}

}  // namespace

void VariableTable::push(std::string_view name, char32_t type, double lower, double upper) {
  make_room(lowers_, 1);
  make_room(uppers_, 1);
  make_room(types_, 1);
  names_.push(name);
  lowers_.push_back(lower);
  uppers_.push_back(upper);
  types_.push_back(type);
}

void VariableTable::append(VariableBatch&& batch) {
  if (!lowers_.empty()) {
    make_room(lowers_, batch.size());
    make_room(uppers_, batch.size());
    make_room(types_, batch.size());
  }
  names_.push_run(std::move(batch.names));
  if (lowers_.empty()) {
    // The first batch becomes the columns themselves.
    lowers_ = std::move(batch.lowers);
    uppers_ = std::move(batch.uppers);
    types_ = std::move(batch.types);
  } else {
    append_all(lowers_, batch.lowers);
    append_all(uppers_, batch.uppers);
    append_all(types_, batch.types);
  }
}

void VariableTable::truncate(std::uint64_t count) {
  if (count >= size()) return;
  const auto n = static_cast<std::size_t>(count);
  lowers_.resize(n);
  uppers_.resize(n);
  types_.resize(n);
  names_.truncate(count);
}

VarInfo VariableTable::info(VarId id) const {
  const auto i = static_cast<std::size_t>(id.index);
  if (i >= lowers_.size()) throw Fault("no variable " + std::to_string(id.index) + " in the cache");
  return VarInfo{id, names_.at(id.index), lowers_[i], uppers_[i], types_[i]};
}

VariableColumns VariableTable::columns(std::uint64_t first, std::uint64_t count) {
  const auto f = static_cast<std::size_t>(first), n = static_cast<std::size_t>(count);
  return VariableColumns{first, std::span(lowers_).subspan(f, n), std::span(uppers_).subspan(f, n),
                         std::span(types_).subspan(f, n), names_.slice(first, count)};
}

void ConstraintTable::push(const ScalarFunctionType& function, const ScalarSetType& set, std::string_view name) {
  one_.starts.resize(1);
  one_.vars.clear();
  one_.coeffs.clear();
  one_.constants.clear();
  one_.kinds.clear();
  one_.bounds.clear();
  one_.uppers.clear();
  one_.push(function, set);
  make_room(vars_, one_.vars.size());
  make_room(coeffs_, one_.coeffs.size());
  make_room(starts_, 1);
  make_room(constants_, 1);
  make_room(kinds_, 1);
  make_room(bounds_, 1);
  make_room(interval_uppers_, one_.uppers.size());
  names_.push(name);
  const std::uint64_t base = vars_.size();
  append_all(vars_, one_.vars);
  append_all(coeffs_, one_.coeffs);
  starts_.push_back(base + one_.vars.size());
  constants_.push_back(one_.constants[0]);
  kinds_.push_back(one_.kinds[0]);
  bounds_.push_back(one_.bounds[0]);
  if (!one_.uppers.empty()) interval_uppers_.emplace_back(constants_.size() - 1, one_.uppers[0]);
}

void ConstraintTable::append(const ConstraintBatch& batch, NameRun&& names) {
  const std::uint64_t base = vars_.size();
  const std::uint64_t first_row = constants_.size();
  make_room(vars_, batch.vars.size());
  make_room(coeffs_, batch.coeffs.size());
  make_room(starts_, batch.size());
  make_room(constants_, batch.size());
  make_room(kinds_, batch.size());
  make_room(bounds_, batch.size());
  make_room(interval_uppers_, batch.uppers.size());
  names_.push_run(std::move(names));
  append_all(vars_, batch.vars);
  append_all(coeffs_, batch.coeffs);
  for (std::size_t r = 1; r < batch.starts.size(); ++r) starts_.push_back(base + batch.starts[r]);
  append_all(constants_, batch.constants);
  append_all(kinds_, batch.kinds);
  append_all(bounds_, batch.bounds);
  if (!batch.uppers.empty()) {
    std::size_t u = 0;
    for (std::size_t r = 0; r < batch.size(); ++r)
      if (RowKind::set_kind(batch.kinds[r]) == ScalarSetType::Kind::Interval)
        interval_uppers_.emplace_back(first_row + r, batch.uppers[u++]);
  }
}

void ConstraintTable::truncate(std::uint64_t count) {
  if (count >= size()) return;
  const auto n = static_cast<std::size_t>(count);
  const auto terms = static_cast<std::size_t>(starts_[n]);
  starts_.resize(n + 1);
  vars_.resize(terms);
  coeffs_.resize(terms);
  constants_.resize(n);
  kinds_.resize(n);
  bounds_.resize(n);
  while (!interval_uppers_.empty() && interval_uppers_.back().first >= count) interval_uppers_.pop_back();
  names_.truncate(count);
}

ConstrInfo ConstraintTable::info(ConstrId id) const {
  if (id.index >= size()) throw Fault("no constraint " + std::to_string(id.index) + " in the cache");
  ConstraintColumns view{id.index,
                         std::span(starts_).subspan(static_cast<std::size_t>(id.index), 2),
                         vars_,
                         coeffs_,
                         std::span(constants_).subspan(static_cast<std::size_t>(id.index), 1),
                         std::span(kinds_).subspan(static_cast<std::size_t>(id.index), 1),
                         std::span(bounds_).subspan(static_cast<std::size_t>(id.index), 1),
                         &interval_uppers_,
                         {}};
  return ConstrInfo{id, names_.at(id.index), view.function(0), view.set(0)};
}

ConstraintColumns ConstraintTable::columns(std::uint64_t first, std::uint64_t count) {
  const auto f = static_cast<std::size_t>(first), n = static_cast<std::size_t>(count);
  return ConstraintColumns{first,
                           std::span(starts_).subspan(f, n + 1),
                           vars_,
                           coeffs_,
                           std::span(constants_).subspan(f, n),
                           std::span(kinds_).subspan(f, n),
                           std::span(bounds_).subspan(f, n),
                           &interval_uppers_,
                           names_.slice(first, count)};
}

}  // namespace kest
