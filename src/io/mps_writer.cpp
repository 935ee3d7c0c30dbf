// Free MPS out of the cache. The matrix is stored by rows; MPS lists it by
// columns, so it is turned once (counts, offsets, fill), which also keeps
// each column's rows ascending and puts repeated entries of a row side by side.
#include <cmath>
#include <limits>
#include <vector>

#include "io/file_names.h"
#include "io/model_files.h"
#include "io/text_io.h"

namespace kest::io {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string objective_name(const FileNames& rows) {
  std::string name = "obj";
  while (rows.contains(name)) name += '_';
  return name;
}

void field(std::string& out, std::string_view text) {
  out += "  ";
  out += text;
}

void bound_line(std::string& out, const char* type, std::string_view column, const double* value) {
  out += ' ';
  out += type;
  out += " BND ";
  out += column;
  if (value) {
    out += ' ';
    append_number(out, *value);
  }
  out += '\n';
}

}  // namespace

std::optional<FileError> write_mps(const std::string& path, const ModelView& model) {
  const VariableColumns& vars = model.variables;
  const ConstraintColumns& rows = model.constraints;
  const std::size_t n = vars.size(), m = rows.size();
  const FileNames col_names(vars.names, "x", NameRules::Mps);
  const FileNames row_names(rows.names, "c", NameRules::Mps);
  const std::string obj_name = objective_name(row_names);

  // Columns: each column's (row, value) entries, rows ascending.
  std::vector<std::uint64_t> col_start(n + 1, 0);
  const std::uint64_t base = rows.starts.empty() ? 0 : rows.starts[0];
  const std::size_t nnz = rows.starts.empty() ? 0 : static_cast<std::size_t>(rows.starts[m] - base);
  for (std::size_t k = 0; k < nnz; ++k)
    if (rows.coeffs[k] != 0.0) ++col_start[rows.vars[k] + 1];
  for (std::size_t j = 0; j < n; ++j) col_start[j + 1] += col_start[j];
  std::vector<std::uint32_t> entry_row(col_start[n]);
  std::vector<double> entry_value(col_start[n]);
  {
    std::vector<std::uint64_t> fill(col_start.begin(), col_start.end() - 1);
    for (std::size_t r = 0; r < m; ++r) {
      const auto end = static_cast<std::size_t>(rows.starts[r + 1] - base);
      for (auto k = static_cast<std::size_t>(rows.starts[r] - base); k < end; ++k) {
        if (rows.coeffs[k] == 0.0) continue;
        const auto at = fill[rows.vars[k]]++;
        entry_row[at] = static_cast<std::uint32_t>(r);
        entry_value[at] = rows.coeffs[k];
      }
    }
  }
  std::vector<double> cost(n);
  const double constant = dense_objective(model, cost);

  OutputFile file(path);
  std::string& out = file.text();
  out += "NAME";
  if (valid_name(model.name, NameRules::Mps)) {
    out += ' ';
    out += model.name;
  }
  out += '\n';
  if (model.sense == OptimizationSense::Maximize) out += "OBJSENSE\n    MAX\n";
  out += "ROWS\n N  ";
  out += obj_name;
  out += '\n';
  std::vector<RowRange> ranges;
  ranges.reserve(m);
  RowWalker walker(rows);
  for (std::size_t r = 0; r < m; ++r) {
    RowRange rr = walker.range(r);
    char type = 'E';
    if (rr.lower == rr.upper) {
      type = 'E';
    } else if (rr.kind == ScalarSetType::Kind::GreaterThan) {
      type = 'G';
    } else if (rr.kind == ScalarSetType::Kind::LessThan) {
      type = 'L';
    } else if (rr.kind == ScalarSetType::Kind::Interval) {
      // Two finite sides: a G row with a range; one side: that side's row.
      type = rr.lower == -kInf ? 'L' : 'G';
    }
    ranges.push_back(rr);
    out += ' ';
    out += type;
    out += "  ";
    out += row_names[r];
    out += '\n';
    file.maybe_flush();
  }

  out += "COLUMNS\n";
  bool in_integers = false;
  for (std::size_t j = 0; j < n; ++j) {
    const bool integral = vars.types[j] != kContinuous;
    if (integral != in_integers) {
      out += integral ? "    MARKER  'MARKER'  'INTORG'\n" : "    MARKER  'MARKER'  'INTEND'\n";
      in_integers = integral;
    }
    const std::string_view name = col_names[j];
    bool any = false;
    if (cost[j] != 0.0) {
      out += "   ";
      field(out, name);
      field(out, obj_name);
      out += "  ";
      append_number(out, cost[j]);
      out += '\n';
      any = true;
    }
    for (std::uint64_t k = col_start[j]; k < col_start[j + 1]; ++k) {
      double value = entry_value[k];
      // A row that names the variable twice: one entry, the sum.
      while (k + 1 < col_start[j + 1] && entry_row[k + 1] == entry_row[k]) value += entry_value[++k];
      out += "   ";
      field(out, name);
      field(out, row_names[entry_row[k]]);
      out += "  ";
      append_number(out, value);
      out += '\n';
      any = true;
    }
    if (!any) {
      // A column with no entry still has to appear to exist.
      out += "   ";
      field(out, name);
      field(out, obj_name);
      out += "  0\n";
    }
    file.maybe_flush();
  }
  if (in_integers) out += "    MARKER  'MARKER'  'INTEND'\n";

  out += "RHS\n";
  // The objective row's right-hand side is minus the objective's constant.
  if (constant != 0.0) {
    out += "    RHS";
    field(out, obj_name);
    out += "  ";
    append_number(out, -constant);
    out += '\n';
  }
  for (std::size_t r = 0; r < m; ++r) {
    const RowRange& rr = ranges[r];
    const double rhs = rr.lower == rr.upper ? rr.lower
                       : rr.lower == -kInf  ? rr.upper
                                            : rr.lower;
    if (rhs == 0.0) continue;
    out += "    RHS";
    field(out, row_names[r]);
    out += "  ";
    append_number(out, rhs);
    out += '\n';
    file.maybe_flush();
  }
  bool ranges_open = false;
  for (std::size_t r = 0; r < m; ++r) {
    const RowRange& rr = ranges[r];
    if (rr.lower == rr.upper || rr.lower == -kInf || rr.upper == kInf) continue;
    if (!ranges_open) out += "RANGES\n";
    ranges_open = true;
    out += "    RNG";
    field(out, row_names[r]);
    out += "  ";
    append_number(out, rr.upper - rr.lower);
    out += '\n';
    file.maybe_flush();
  }

  bool bounds_open = false;
  auto open_bounds = [&] {
    if (!bounds_open) out += "BOUNDS\n";
    bounds_open = true;
  };
  for (std::size_t j = 0; j < n; ++j) {
    const double lo = vars.lowers[j], up = vars.uppers[j];
    const std::string_view name = col_names[j];
    if (vars.types[j] == kBinary) {
      open_bounds();
      bound_line(out, "BV", name, nullptr);
      if (lo > 0.0) bound_line(out, "LO", name, &lo);
      if (up < 1.0) bound_line(out, "UP", name, &up);
      continue;
    }
    if (lo == 0.0 && up == kInf) {
      // An integer column no bound names would read as [0, 1].
      if (vars.types[j] == kInteger) {
        open_bounds();
        bound_line(out, "PL", name, nullptr);
      }
      continue;
    }
    open_bounds();
    if (lo == -kInf && up == kInf) {
      bound_line(out, "FR", name, nullptr);
    } else if (lo == up) {
      bound_line(out, "FX", name, &lo);
    } else {
      if (lo == -kInf)
        bound_line(out, "MI", name, nullptr);
      else if (lo != 0.0 || up < 0.0)  // a negative upper alone would take the lower to -inf
        bound_line(out, "LO", name, &lo);
      if (up != kInf) bound_line(out, "UP", name, &up);
    }
    file.maybe_flush();
  }
  out += "ENDATA\n";
  return file.finish();
}

}  // namespace kest::io
