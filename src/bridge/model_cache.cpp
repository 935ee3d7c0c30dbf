#include "bridge/model_cache.h"

#include <algorithm>

#include "core/fault.h"

namespace kest {

namespace {

template <class T>
void append_all(Array<T>& to, const Array<T>& from) {
  to.insert(to.end(), from.begin(), from.end());
}

// Room for `more` entries, growing geometrically: appends after it cannot
// fail, so an append either happens whole or, on a failed allocation here,
// not at all.
template <class V>
void make_room(V& v, std::size_t more) {
  const std::size_t need = v.size() + more;
  if (need > v.capacity()) v.reserve(std::max(need, v.capacity() + v.capacity() / 2));
}

}  // namespace

void VariableTable::push(std::string_view name, char32_t type, double lower, double upper) {
  lowers_.reserve_more(1);
  uppers_.reserve_more(1);
  make_room(types_, 1);
  names_.push(name);
  lowers_.push_back(lower);
  uppers_.push_back(upper);
  types_.push_back(type);
}

void VariableTable::append(VariableBatch&& batch) {
  // Room first: a failed allocation leaves the table as it was. A first batch
  // becomes the columns themselves.
  lowers_.reserve_more(lowers_.empty() ? 0 : batch.size());
  uppers_.reserve_more(uppers_.empty() ? 0 : batch.size());
  if (!types_.empty()) make_room(types_, batch.size());
  names_.push_run(std::move(batch.names));
  lowers_.adopt(std::move(batch.lowers));
  uppers_.adopt(std::move(batch.uppers));
  if (types_.empty())
    types_ = std::move(batch.types);
  else
    append_all(types_, batch.types);
}

void VariableTable::truncate(std::uint64_t count) {
  if (count >= size()) return;
  const auto n = static_cast<std::size_t>(count);
  lowers_.truncate(n);
  uppers_.truncate(n);
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
  return VariableColumns{first, lowers_.share(f, n), uppers_.share(f, n), std::span(types_).subspan(f, n),
                         names_.slice(first, count)};
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
  vars_.reserve_more(one_.vars.size());
  coeffs_.reserve_more(one_.coeffs.size());
  make_room(starts_, 1);
  constants_.reserve_more(1);
  make_room(kinds_, 1);
  bounds_.reserve_more(1);
  make_room(interval_uppers_, one_.uppers.size());
  names_.push(name);
  const std::uint64_t base = vars_.size();
  vars_.append(one_.vars);
  coeffs_.append(one_.coeffs);
  starts_.push_back(base + one_.vars.size());
  constants_.push_back(one_.constants[0]);
  kinds_.push_back(one_.kinds[0]);
  bounds_.push_back(one_.bounds[0]);
  if (!one_.uppers.empty()) interval_uppers_.emplace_back(constants_.size() - 1, one_.uppers[0]);
}

void ConstraintTable::append(const ConstraintBatch& batch, NameRun&& names) {
  const std::uint64_t base = vars_.size();
  const std::uint64_t first_row = constants_.size();
  vars_.reserve_more(batch.vars.size());
  coeffs_.reserve_more(batch.coeffs.size());
  make_room(starts_, batch.size());
  constants_.reserve_more(batch.size());
  make_room(kinds_, batch.size());
  bounds_.reserve_more(batch.size());
  make_room(interval_uppers_, batch.uppers.size());
  names_.push_run(std::move(names));
  vars_.append(batch.vars);
  coeffs_.append(batch.coeffs);
  for (std::size_t r = 1; r < batch.starts.size(); ++r) starts_.push_back(base + batch.starts[r]);
  constants_.append(batch.constants);
  append_all(kinds_, batch.kinds);
  bounds_.append(batch.bounds);
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
  vars_.truncate(terms);
  coeffs_.truncate(terms);
  constants_.truncate(n);
  kinds_.resize(n);
  bounds_.truncate(n);
  while (!interval_uppers_.empty() && interval_uppers_.back().first >= count) interval_uppers_.pop_back();
  names_.truncate(count);
}

ConstrInfo ConstraintTable::info(ConstrId id) const {
  if (id.index >= size()) throw Fault("no constraint " + std::to_string(id.index) + " in the cache");
  const auto r = static_cast<std::size_t>(id.index);
  const auto begin = static_cast<std::size_t>(starts_[r]), end = static_cast<std::size_t>(starts_[r + 1]);
  ConstraintColumns view{id.index,
                         std::span(starts_).subspan(r, 2),
                         {vars_.span().subspan(begin, end - begin), nullptr},
                         {coeffs_.span().subspan(begin, end - begin), nullptr},
                         {constants_.span().subspan(r, 1), nullptr},
                         std::span(kinds_).subspan(r, 1),
                         {bounds_.span().subspan(r, 1), nullptr},
                         &interval_uppers_,
                         {}};
  return ConstrInfo{id, names_.at(id.index), view.function(0), view.set(0)};
}

ConstraintColumns ConstraintTable::columns(std::uint64_t first, std::uint64_t count) {
  const auto f = static_cast<std::size_t>(first), n = static_cast<std::size_t>(count);
  const auto t0 = static_cast<std::size_t>(starts_[f]), t1 = static_cast<std::size_t>(starts_[f + n]);
  return ConstraintColumns{first,
                           std::span(starts_).subspan(f, n + 1),
                           vars_.share(t0, t1 - t0),
                           coeffs_.share(t0, t1 - t0),
                           constants_.share(f, n),
                           std::span(kinds_).subspan(f, n),
                           bounds_.share(f, n),
                           &interval_uppers_,
                           names_.slice(first, count)};
}

}  // namespace kest
