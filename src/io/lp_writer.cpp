// CPLEX-style LP out of the cache. The objective names every variable, with
// a zero where it has no cost, so that a reader meets the variables in their
// positions' order and gives them back the same positions.
#include <cmath>
#include <limits>

#include "io/file_names.h"
#include "io/model_files.h"
#include "io/text_io.h"

namespace kest::io {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Readers limit line length (560 characters for some): long sums wrap.
constexpr std::size_t kWrapAt = 200;

class LineWrap {
 public:
  explicit LineWrap(std::string& out) : out_(out), line_start_(out.size()) {}
  void term(double coeff, std::string_view name) {
    wrap();
    out_ += coeff < 0 || (coeff == 0 && std::signbit(coeff)) ? " - " : " + ";
    append_number(out_, coeff < 0 ? -coeff : coeff);
    out_ += ' ';
    out_ += name;
  }
  void constant(double c) {
    wrap();
    out_ += c < 0 ? " - " : " + ";
    append_number(out_, c < 0 ? -c : c);
  }
  void text(std::string_view t) {
    wrap();
    out_ += t;
  }
  void end_line() {
    out_ += '\n';
    line_start_ = out_.size();
  }

 private:
  void wrap() {
    if (out_.size() - line_start_ > kWrapAt) {
      out_ += "\n   ";
      line_start_ = out_.size() - 3;
    }
  }
  std::string& out_;
  std::size_t line_start_;
};

}  // namespace

std::optional<FileError> write_lp(const std::string& path, const ModelView& model) {
  const VariableColumns& vars = model.variables;
  const ConstraintColumns& rows = model.constraints;
  const std::size_t n = vars.size(), m = rows.size();
  const FileNames col_names(vars.names, "x", NameRules::Lp);
  const FileNames row_names(rows.names, "c", NameRules::Lp);

  std::vector<double> cost(n);
  const double constant = dense_objective(model, cost);

  OutputFile file(path);
  std::string& out = file.text();
  if (!model.name.empty() && model.name.find_first_of("\r\n") == std::string_view::npos) {
    out += "\\ Problem name: ";
    out += model.name;
    out += '\n';
  }
  out += model.sense == OptimizationSense::Maximize ? "Maximize\n" : "Minimize\n";
  {
    LineWrap line(out);
    line.text(" obj:");
    for (std::size_t j = 0; j < n; ++j) {
      line.term(cost[j], col_names[j]);
      file.maybe_flush();
    }
    if (constant != 0.0 || n == 0) line.constant(constant);
    line.end_line();
  }

  out += "Subject To\n";
  const std::uint64_t base = rows.starts.empty() ? 0 : rows.starts[0];
  RowWalker walker(rows);
  for (std::size_t r = 0; r < m; ++r) {
    const RowRange rr = walker.range(r);
    LineWrap line(out);
    out += ' ';
    out += row_names[r];
    out += ':';
    const bool ranged = rr.kind == ScalarSetType::Kind::Interval && rr.lower != rr.upper && rr.lower != -kInf &&
                        rr.upper != kInf;
    if (ranged) {
      out += ' ';
      append_number(out, rr.lower);
      out += " <=";
    }
    const auto end = static_cast<std::size_t>(rows.starts[r + 1] - base);
    bool any = false;
    for (auto k = static_cast<std::size_t>(rows.starts[r] - base); k < end; ++k) {
      if (rows.coeffs[k] == 0.0) continue;
      line.term(rows.coeffs[k], col_names[rows.vars[k]]);
      any = true;
    }
    // Readers want a variable in every row: the first one, times zero.
    if (!any && n > 0) line.term(0.0, col_names[0]);
    if (!any && n == 0) line.text(" 0");
    if (ranged || rr.lower == -kInf || rr.kind == ScalarSetType::Kind::LessThan) {
      line.text(" <= ");
      append_number(out, rr.upper);
    } else if (rr.lower == rr.upper) {
      line.text(" = ");
      append_number(out, rr.lower);
    } else {
      line.text(" >= ");
      append_number(out, rr.lower);
    }
    line.end_line();
    file.maybe_flush();
  }

  bool bounds_open = false;
  auto open_bounds = [&] {
    if (!bounds_open) out += "Bounds\n";
    bounds_open = true;
  };
  bool any_general = false, any_binary = false;
  for (std::size_t j = 0; j < n; ++j) {
    const double lo = vars.lowers[j], up = vars.uppers[j];
    const std::string_view name = col_names[j];
    if (vars.types[j] == kBinary) {
      any_binary = true;
      // A binary is [0, 1] unless the model narrows that.
      if (lo <= 0.0 && up >= 1.0) continue;
    } else {
      any_general = any_general || vars.types[j] == kInteger;
      if (lo == 0.0 && up == kInf) continue;
    }
    open_bounds();
    out += ' ';
    if (lo == -kInf && up == kInf) {
      out += name;
      out += " free\n";
    } else if (lo == up) {
      out += name;
      out += " = ";
      append_number(out, lo);
      out += '\n';
    } else if (up == kInf) {
      out += name;
      out += " >= ";
      append_number(out, lo);
      out += '\n';
    } else {
      append_number(out, lo);
      out += " <= ";
      out += name;
      out += " <= ";
      append_number(out, up);
      out += '\n';
    }
    file.maybe_flush();
  }
  auto list = [&](const char* section, char32_t type) {
    out += section;
    LineWrap line(out);
    for (std::size_t j = 0; j < n; ++j) {
      if (vars.types[j] != type) continue;
      line.text(" ");
      out += col_names[j];
      file.maybe_flush();
    }
    line.end_line();
  };
  if (any_general) list("Generals\n", kInteger);
  if (any_binary) list("Binaries\n", kBinary);
  out += "End\n";
  return file.finish();
}

}  // namespace kest::io
