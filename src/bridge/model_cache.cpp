#include "bridge/model_cache.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "core/fault.h"

namespace kest {

namespace {

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

void VariableTable::append(VariableBlock&& block) {
  // Room first: a failed allocation leaves the table as it was, and the
  // writes after it cannot fail.
  const std::size_t n = block.count;
  lowers_.reserve_more(n);
  uppers_.reserve_more(n);
  make_room(types_, n);
  names_.push_run(std::move(block.names));
  lowers_.append_written(n, [&](std::span<double> out) { block.lowers.fill(out); });
  uppers_.append_written(n, [&](std::span<double> out) { block.uppers.fill(out); });
  types_.append_written(n, [&](std::span<char32_t> out) { block.types.fill(out); });
}

void VariableTable::append(VariableBatch&& batch) {
  if (!types_.empty()) {
    auto copy_of = [](const auto& from) {
      using T = typename std::remove_cvref_t<decltype(from)>::value_type;
      return ColumnValues<T>{{}, [&from](std::span<T> out) { std::copy_n(from.begin(), out.size(), out.begin()); }};
    };
    append(VariableBlock{batch.size(), copy_of(batch.lowers), copy_of(batch.uppers), copy_of(batch.types),
                         std::move(batch.names)});
    return;
  }
  // A first batch becomes the columns themselves; the room the columns need
  // for it (their shared arrays) is made before anything changes.
  lowers_.reserve_more(0);
  uppers_.reserve_more(0);
  names_.push_run(std::move(batch.names));
  lowers_.adopt(std::move(batch.lowers));
  uppers_.adopt(std::move(batch.uppers));
  types_ = std::move(batch.types);
}

void VariableTable::truncate(std::uint64_t count) {
  if (count >= size()) return;
  const auto n = static_cast<std::size_t>(count);
  if (starts_.size() > n) starts_.resize(n);
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
  return VariableColumns{first, lowers_.hand_out(f, n), uppers_.hand_out(f, n), std::span(types_).subspan(f, n),
                         names_.slice(first, count)};
}

void VariableTable::set_bounds(std::uint64_t id, double lower, double upper) {
  const auto i = static_cast<std::size_t>(id);
  lowers_.set(i, lower);
  uppers_.set(i, upper);
}

void VariableTable::set_start(std::uint64_t id, double value) {
  const auto i = static_cast<std::size_t>(id);
  if (starts_.size() <= i) {
    if (std::isnan(value)) return;
    starts_.resize(lowers_.size(), std::numeric_limits<double>::quiet_NaN());
  }
  starts_[i] = value;
}

double VariableTable::start(std::uint64_t id) const {
  const auto i = static_cast<std::size_t>(id);
  return i < starts_.size() ? starts_[i] : std::numeric_limits<double>::quiet_NaN();
}

void ConstraintTable::push(const ScalarFunctionType& function, const ScalarSetType& set, std::string_view name) {
  // The terms go straight into the columns; room is made first, so that a
  // failed allocation leaves the table as it was.
  const SingleVariable* single = function.single();
  const ScalarAffineFn* affine = single ? nullptr : function.affine();
  const std::size_t terms = single ? 1 : affine->terms.size();
  if (single) {
    narrow_var(single->var);
  } else {
    for (const auto& t : affine->terms) narrow_var(t.var);
  }
  vars_.reserve_more(terms);
  coeffs_.reserve_more(terms);
  starts_.reserve_more(1);
  constants_.reserve_more(1);
  make_room(kinds_, 1);
  bounds_.reserve_more(1);
  make_room(interval_uppers_, set.kind == ScalarSetType::Kind::Interval ? 1 : 0);
  names_.push(name);
  if (single) {
    vars_.push_back(static_cast<std::uint32_t>(single->var.index));
    coeffs_.push_back(1.0);
  } else {
    const auto& t = affine->terms;
    vars_.append_generated(terms, [&](std::size_t i) { return static_cast<std::uint32_t>(t[i].var.index); });
    coeffs_.append_generated(terms, [&](std::size_t i) { return t[i].coeff; });
  }
  starts_.push_back(vars_.size());
  constants_.push_back(single ? 0.0 : affine->constant);
  kinds_.push_back(RowKind::of(set, single != nullptr));
  bounds_.push_back(set.value);
  if (set.kind == ScalarSetType::Kind::Interval) interval_uppers_.emplace_back(constants_.size() - 1, set.upper);
}

void ConstraintTable::append(const ConstraintRows& batch, NameRun&& names) {
  const std::uint64_t base = vars_.size() - batch.starts[0];
  const std::uint64_t first_row = constants_.size();
  // The first rows of a column are kept as shared where their owner offers
  // them, instead of copied; all room is made before anything changes.
  const RowShares& shared = batch.shares;
  const bool keep_vars = vars_.can_take(batch.vars, shared.vars);
  const bool keep_coeffs = coeffs_.can_take(batch.coeffs, shared.coeffs);
  const bool keep_constants = constants_.can_take(batch.constants, shared.constants);
  const bool keep_bounds = bounds_.can_take(batch.bounds, shared.bounds);
  // Row starts are kept when they are the whole column's: the first rows, from 0.
  const bool keep_starts = base == 0 && starts_.size() == 1 && Column<std::uint64_t>::covers(batch.starts, shared.starts);
  if (!keep_vars) vars_.reserve_more(batch.vars.size());
  if (!keep_coeffs) coeffs_.reserve_more(batch.coeffs.size());
  if (!keep_starts) starts_.reserve_more(batch.size());
  if (!keep_constants) constants_.reserve_more(batch.size());
  make_room(kinds_, batch.size());
  if (!keep_bounds) bounds_.reserve_more(batch.size());
  make_room(interval_uppers_, batch.uppers.size());
  names_.push_run(std::move(names));
  keep_vars ? vars_.take_share(shared.vars) : vars_.append(batch.vars);
  keep_coeffs ? coeffs_.take_share(shared.coeffs) : coeffs_.append(batch.coeffs);
  if (keep_starts)
    starts_.take_share(shared.starts);
  else
    starts_.append_generated(batch.size(), [&](std::size_t r) { return base + batch.starts[r + 1]; });
  keep_constants ? constants_.take_share(shared.constants) : constants_.append(batch.constants);
  kinds_.insert(kinds_.end(), batch.kinds.begin(), batch.kinds.end());
  keep_bounds ? bounds_.take_share(shared.bounds) : bounds_.append(batch.bounds);
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
  for (auto it = edits_.lower_bound({count, 0}); it != edits_.end(); it = edits_.erase(it)) {
    const auto [begin, end] = row_terms(it->first.first);
    edited_terms_ -= it->second != 0.0 ? 1 : 0;
    for (std::size_t k = begin; k < end; ++k) edited_terms_ += vars_[k] == it->first.second ? 1 : 0;
  }
  const auto terms = static_cast<std::size_t>(starts_[n]);
  starts_.truncate(n + 1);
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
                         starts_.span().subspan(r, 2),
                         {vars_.span().subspan(begin, end - begin), nullptr},
                         {coeffs_.span().subspan(begin, end - begin), nullptr},
                         {constants_.span().subspan(r, 1), nullptr},
                         std::span(kinds_).subspan(r, 1),
                         {bounds_.span().subspan(r, 1), nullptr},
                         &interval_uppers_,
                         {}};
  ConstrInfo info{id, names_.at(id.index), view.function(0), view.set(0)};
  auto it = edits_.lower_bound({id.index, 0});
  if (it == edits_.end() || it->first.first != id.index) return info;
  // The side table's terms replace every occurrence of their variable.
  ScalarAffineFn fn;
  if (const SingleVariable* single = info.function.single()) {
    fn.terms.push_back(AffineTerm{single->var, 1.0});
  } else {
    fn = std::move(std::get<ScalarAffineFn>(info.function.value));
  }
  const auto first_edit = it;
  auto edited = [&](VarId v) {
    for (auto e = first_edit; e != edits_.end() && e->first.first == id.index; ++e)
      if (e->first.second == v.index) return true;
    return false;
  };
  std::erase_if(fn.terms, [&](const AffineTerm& t) { return edited(t.var); });
  for (; it != edits_.end() && it->first.first == id.index; ++it)
    if (it->second != 0.0) fn.terms.push_back(AffineTerm{VarId{it->first.second}, it->second});
  info.function = std::move(fn);
  return info;
}

ScalarSetType ConstraintTable::set(std::uint64_t row) const {
  const auto r = static_cast<std::size_t>(row);
  ConstraintColumns view{row, starts_.span().subspan(r, 2), {}, {}, {constants_.span().subspan(r, 1), nullptr},
                         std::span(kinds_).subspan(r, 1), {bounds_.span().subspan(r, 1), nullptr}, &interval_uppers_,
                         {}};
  return view.set(0);
}

void ConstraintTable::set_set(std::uint64_t row, const ScalarSetType& set) {
  const auto r = static_cast<std::size_t>(row);
  auto it = std::lower_bound(interval_uppers_.begin(), interval_uppers_.end(), row,
                             [](const auto& p, std::uint64_t key) { return p.first < key; });
  const bool had = it != interval_uppers_.end() && it->first == row;
  const bool interval = set.kind == ScalarSetType::Kind::Interval;
  if (interval && !had) {
    it = interval_uppers_.insert(it, {row, set.upper});
  } else if (!interval && had) {
    interval_uppers_.erase(it);
  } else if (interval) {
    it->second = set.upper;
  }
  bounds_.set(r, set.value);
  kinds_[r] = static_cast<std::uint8_t>((kinds_[r] & ~RowKind::kSetMask) | static_cast<std::uint8_t>(set.kind));
}

double ConstraintTable::coefficient(std::uint64_t row, std::uint32_t var) const {
  if (auto it = edits_.find({row, var}); it != edits_.end()) return it->second;
  const auto [begin, end] = row_terms(row);
  double sum = 0.0;
  for (std::size_t k = begin; k < end; ++k)
    if (vars_[k] == var) sum += coeffs_[k];
  return sum;
}

void ConstraintTable::set_coefficient(std::uint64_t row, std::uint32_t var, double value) {
  const auto r = static_cast<std::size_t>(row);
  const auto [begin, end] = row_terms(row);
  std::size_t count = 0, at = 0;
  for (std::size_t k = begin; k < end; ++k) {
    if (vars_[k] == var) {
      ++count;
      at = k;
    }
  }
  const auto key = std::make_pair(row, var);
  auto it = edits_.find(key);
  if (it == edits_.end() && count == 1 && value != 0.0) {
    coeffs_.set(at, value);
  } else if (it != edits_.end()) {
    edited_terms_ += (value != 0.0 ? 1 : 0) - (it->second != 0.0 ? 1 : 0);
    it->second = value;
  } else {
    edits_.emplace(key, value);
    edited_terms_ += (value != 0.0 ? 1 : 0) - static_cast<std::int64_t>(count);
  }
  // The row is a sum of terms from now on, whatever it was made as.
  kinds_[r] = static_cast<std::uint8_t>(kinds_[r] & ~RowKind::kSingle);
}

void ConstraintTable::fold() {
  Array<std::uint64_t> starts;
  Array<std::uint32_t> vars;
  Array<double> coeffs;
  starts.reserve(starts_.size());
  const auto total = static_cast<std::size_t>(terms());
  vars.reserve(total);
  coeffs.reserve(total);
  starts.push_back(0);
  auto e = edits_.begin();
  const std::size_t rows = constants_.size();
  for (std::size_t r = 0; r < rows; ++r) {
    const auto [begin, end] = row_terms(r);
    if (e == edits_.end() || e->first.first != r) {
      vars.insert(vars.end(), vars_.span().begin() + static_cast<std::ptrdiff_t>(begin),
                  vars_.span().begin() + static_cast<std::ptrdiff_t>(end));
      coeffs.insert(coeffs.end(), coeffs_.span().begin() + static_cast<std::ptrdiff_t>(begin),
                    coeffs_.span().begin() + static_cast<std::ptrdiff_t>(end));
    } else {
      auto row_end = e;
      while (row_end != edits_.end() && row_end->first.first == r) ++row_end;
      for (std::size_t k = begin; k < end; ++k) {
        const bool edited = std::any_of(e, row_end, [&](const auto& p) { return p.first.second == vars_[k]; });
        if (edited) continue;
        vars.push_back(vars_[k]);
        coeffs.push_back(coeffs_[k]);
      }
      for (; e != row_end; ++e) {
        if (e->second == 0.0) continue;
        vars.push_back(e->first.second);
        coeffs.push_back(e->second);
      }
    }
    starts.push_back(vars.size());
  }
  auto new_vars = std::make_shared<Array<std::uint32_t>>(std::move(vars));
  auto new_coeffs = std::make_shared<Array<double>>(std::move(coeffs));
  auto new_starts = std::make_shared<Array<std::uint64_t>>(std::move(starts));
  // Everything is built: nothing below allocates, so a failure above changed nothing.
  vars_.assign(std::move(new_vars));
  coeffs_.assign(std::move(new_coeffs));
  starts_.assign(std::move(new_starts));
  edits_.clear();
  edited_terms_ = 0;
}

ConstraintColumns ConstraintTable::columns(std::uint64_t first, std::uint64_t count) {
  if (auto e = edits_.lower_bound({first, 0}); e != edits_.end() && e->first.first < first + count) fold();
  const auto f = static_cast<std::size_t>(first), n = static_cast<std::size_t>(count);
  const auto t0 = static_cast<std::size_t>(starts_[f]), t1 = static_cast<std::size_t>(starts_[f + n]);
  return ConstraintColumns{first,
                           starts_.span().subspan(f, n + 1),
                           vars_.hand_out(t0, t1 - t0),
                           coeffs_.hand_out(t0, t1 - t0),
                           constants_.hand_out(f, n),
                           std::span(kinds_).subspan(f, n),
                           bounds_.hand_out(f, n),
                           &interval_uppers_,
                           names_.slice(first, count)};
}

}  // namespace kest
