#include "io/model_files.h"

#include <algorithm>
#include <limits>

#include "core/fault.h"

namespace kest::io {

std::optional<FileFormat> format_of(std::string_view path) {
  std::string lower;
  lower.reserve(path.size());
  for (char c : path) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  std::string_view p = lower;
  if (p.size() >= 3 && p.substr(p.size() - 3) == ".gz") p.remove_suffix(3);
  if (p.size() >= 4 && p.substr(p.size() - 4) == ".mps") return FileFormat::Mps;
  if (p.size() >= 3 && p.substr(p.size() - 3) == ".lp") return FileFormat::Lp;
  return std::nullopt;
}

std::optional<FileError> write_model_file(const std::string& path, FileFormat format, const ModelView& model) {
  return format == FileFormat::Mps ? write_mps(path, model) : write_lp(path, model);
}

std::optional<FileError> read_model_file(const std::string& path, FileFormat format, ModelData& out) {
  return format == FileFormat::Mps ? read_mps(path, out) : read_lp(path, out);
}

void split_interval_rows(ModelData& model) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const ConstraintBatch& in = model.constraints;
  if (in.uppers.empty()) return;
  const NameRun& names = model.constraint_names;
  const bool named = names.kind != NameRun::Kind::Unnamed;
  ConstraintBatch out;
  out.reserve(in.size() + in.uppers.size(), in.vars.size() + in.vars.size() / 4);
  NameRun out_names;
  out_names.kind = named ? NameRun::Kind::Texts : NameRun::Kind::Unnamed;
  std::string name;
  std::size_t u = 0;
  auto push = [&](std::size_t r, ScalarSetType set, std::string_view suffix) {
    const auto begin = static_cast<std::size_t>(in.starts[r]), end = static_cast<std::size_t>(in.starts[r + 1]);
    out.vars.append(in.vars.begin() + begin, in.vars.begin() + end);
    out.coeffs.append(in.coeffs.begin() + begin, in.coeffs.begin() + end);
    out.starts.push_back(out.vars.size());
    out.constants.push_back(in.constants[r]);
    out.kinds.push_back(RowKind::of(set, false));
    out.bounds.push_back(set.value);
    if (set.kind == ScalarSetType::Kind::Interval) out.uppers.push_back(set.upper);
    if (named) {
      name.clear();
      names.append(name, r);
      if (!name.empty()) name += suffix;
      out_names.arena += name;
      out_names.ends.push_back(out_names.arena.size());
    }
    ++out_names.count;
  };
  for (std::size_t r = 0; r < in.size(); ++r) {
    const ScalarSetType::Kind kind = RowKind::set_kind(in.kinds[r]);
    if (kind != ScalarSetType::Kind::Interval) {
      ScalarSetType set{kind, in.bounds[r], 0.0};
      push(r, set, "");
      continue;
    }
    const double lo = in.bounds[r], hi = in.uppers[u++];
    if (lo == hi) {
      push(r, ScalarSetType::equal_to(lo), "");
    } else if (lo == -inf) {
      push(r, ScalarSetType::less_than(hi), "");
    } else if (hi == inf) {
      push(r, ScalarSetType::greater_than(lo), "");
    } else {
      push(r, ScalarSetType::greater_than(lo), "");
      push(r, ScalarSetType::less_than(hi), "_up");
    }
  }
  model.constraints = std::move(out);
  model.constraint_names = std::move(out_names);
}

RowRange RowWalker::range(std::size_t r) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const double c = rows_.constants[r];
  const double b = rows_.bounds[r] - c;
  const auto kind = RowKind::set_kind(rows_.kinds[r]);
  switch (kind) {
    case ScalarSetType::Kind::GreaterThan:
      return {b, inf, kind};
    case ScalarSetType::Kind::LessThan:
      return {-inf, b, kind};
    case ScalarSetType::Kind::EqualTo:
      return {b, b, kind};
    case ScalarSetType::Kind::Interval:
      break;
  }
  // Interval rows are few and ascending: a cursor finds each upper.
  const auto& uppers = *rows_.interval_uppers;
  const std::uint64_t row = rows_.first + r;
  while (next_upper_ < uppers.size() && uppers[next_upper_].first < row) ++next_upper_;
  if (next_upper_ >= uppers.size() || uppers[next_upper_].first != row)
    throw Fault("interval row without its upper bound");
  return {b, uppers[next_upper_].second - c, kind};
}

double dense_objective(const ModelView& model, std::vector<double>& cost) {
  const std::size_t n = cost.size();
  std::fill(cost.begin(), cost.end(), 0.0);
  if (!model.objective) return 0.0;
  for (const auto& t : model.objective->terms)
    if (t.var.index < n) cost[t.var.index] += t.coeff;
  return model.objective->constant;
}

}  // namespace kest::io
