// MPS in, free or fixed. The file is read as free MPS (fields split at
// blanks); when that fails it is read again by the fixed column positions,
// where names may hold spaces. Conventions where MPS dialects differ:
//   - the first N row is the objective (OBJNAME picks another); further N
//     rows are dropped with their entries;
//   - the objective row's right-hand side is minus the objective's constant;
//   - an UP (or UI) bound below zero on a column whose lower bound the file
//     has not set makes the lower bound -inf;
//   - an integer column from a MARKER section that no BOUNDS line names is
//     [0, 1] (the original convention, kept by most readers); one that a
//     bound names has the usual defaults, 0 and inf, for the other side; BV
//     makes a column binary with [0, 1];
//   - a RANGES value R turns an E row into [rhs, rhs + R] for R > 0 and
//     [rhs + R, rhs] for R < 0, and an L or G row into [rhs - |R|, rhs] or
//     [rhs, rhs + |R|];
//   - of several RHS, RANGES or BOUNDS sets the first is read, the rest
//     skipped;
//   - a COLUMNS line with an even number of fields continues the column of
//     the line before (the writer left the name blank).
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "io/model_files.h"
#include "io/name_index.h"
#include "io/text_io.h"

namespace kest::io {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kMaxFields = 8;

enum class Section : std::uint8_t { None, Name, ObjSense, ObjName, Rows, Columns, Rhs, Ranges, Bounds, End };

struct Row {
  char type;  // N, E, L, G
  double rhs = 0.0;
  double range = 0.0;
  bool has_range = false;
};

bool same_folded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != b[i]) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string quoted(std::string_view s) {
  constexpr std::size_t kShown = 60;
  std::string out = "'";
  out.append(s.substr(0, kShown));
  if (s.size() > kShown) out += "...";
  out += "'";
  return out;
}

class MpsReader {
 public:
  MpsReader(const std::string& path, bool fixed, ModelData& out) : file_(path), fixed_(fixed), out_(out) {}
  std::optional<FileError> run();
  std::uint64_t line() const { return file_.line_number(); }

 private:
  std::optional<FileError> section_line(std::string_view line);
  std::optional<FileError> data_line(std::string_view line);
  std::size_t fields(std::string_view line, bool with_type, std::string_view* f);
  std::optional<FileError> rows_line(std::string_view* f, std::size_t n);
  std::optional<FileError> columns_line(std::string_view* f, std::size_t n);
  std::optional<FileError> rhs_line(std::string_view* f, std::size_t n, bool ranges);
  std::optional<FileError> bounds_line(std::string_view* f, std::size_t n);
  std::optional<FileError> number(std::string_view text, double& v);
  std::optional<FileError> finish();
  FileError error(std::string_view message) const { return file_.format_error(message); }
  std::string_view col_name(std::uint32_t j) const { return col_index_.text(j); }

  InputFile file_;
  bool fixed_;
  ModelData& out_;
  Section section_ = Section::None;
  bool saw_rows_ = false;
  bool saw_columns_ = false;

  NameIndex row_index_;
  std::vector<Row> rows_;
  std::string objective_row_;  // from OBJNAME
  std::uint32_t objective_ = NameIndex::kNone;

  NameIndex col_index_;
  std::uint32_t current_ = NameIndex::kNone;
  bool integer_section_ = false;
  std::vector<std::uint32_t> entry_col_, entry_row_;
  std::vector<double> entry_value_;
  std::vector<std::uint32_t> last_col_in_row_;  // repeated entries of a column
  std::vector<double> cost_;
  std::vector<char32_t> types_;
  std::vector<double> lowers_, uppers_;
  std::vector<bool> lower_set_;
  std::vector<bool> bounded_;  // named by some BOUNDS line

  std::string rhs_set_, range_set_, bound_set_;
  bool rhs_seen_ = false, range_seen_ = false, bound_seen_ = false;
};

std::optional<FileError> MpsReader::run() {
  if (file_.error()) return file_.error();
  while (auto got = file_.next_line()) {
    std::string_view line = *got;
    if (line.find('\0') != std::string_view::npos) return error("the line holds a NUL byte");
    if (line.empty() || line.front() == '*' || trim(line).empty()) continue;
    std::optional<FileError> e;
    if (line.front() != ' ' && line.front() != '\t')
      e = section_line(line);
    else
      e = data_line(line);
    if (e) return e;
    if (section_ == Section::End) return finish();
  }
  if (file_.error()) return file_.error();
  return error("the file ends before ENDATA");
}

std::optional<FileError> MpsReader::section_line(std::string_view line) {
  std::string_view f[kMaxFields];
  const std::size_t n = split_fields(line, f, kMaxFields);
  const std::string_view word = f[0];
  if (same_folded(word, "NAME")) {
    section_ = Section::Name;
    const std::string_view rest = trim(line.substr(4));
    out_.name.assign(rest);
    return std::nullopt;
  }
  if (same_folded(word, "OBJSENSE") || same_folded(word, "OBJSENSE:")) {
    section_ = Section::ObjSense;
    if (n >= 2) {
      if (n > 2) return error("OBJSENSE takes one word, MIN or MAX");
      return data_line(line.substr(line.find(f[1])));
    }
    return std::nullopt;
  }
  if (same_folded(word, "OBJNAME")) {
    section_ = Section::ObjName;
    if (n == 2) objective_row_.assign(f[1]);
    return std::nullopt;
  }
  if (n > 1 && !same_folded(word, "RHS") && !same_folded(word, "RANGES") && !same_folded(word, "BOUNDS"))
    return error("unexpected text after the section name " + quoted(word));
  if (same_folded(word, "ROWS")) {
    if (saw_rows_) return error("a second ROWS section");
    section_ = Section::Rows;
    saw_rows_ = true;
  } else if (same_folded(word, "COLUMNS")) {
    if (!saw_rows_) return error("COLUMNS before ROWS");
    if (saw_columns_) return error("a second COLUMNS section");
    saw_columns_ = true;
    if (objective_ == NameIndex::kNone && !objective_row_.empty())
      return error("OBJNAME names " + quoted(objective_row_) + ", which is no N row");
    last_col_in_row_.assign(rows_.size(), NameIndex::kNone);
    section_ = Section::Columns;
  } else if (same_folded(word, "RHS")) {
    section_ = Section::Rhs;
  } else if (same_folded(word, "RANGES")) {
    section_ = Section::Ranges;
  } else if (same_folded(word, "BOUNDS")) {
    section_ = Section::Bounds;
  } else if (same_folded(word, "ENDATA")) {
    section_ = Section::End;
  } else if (same_folded(word, "SOS") || same_folded(word, "QUADOBJ") || same_folded(word, "QMATRIX") ||
             same_folded(word, "QSECTION") || same_folded(word, "QCMATRIX") || same_folded(word, "CSECTION") ||
             same_folded(word, "INDICATORS")) {
    return error("the section " + quoted(word) + " is not supported (linear models only)");
  } else {
    return error("unknown section " + quoted(word));
  }
  if ((section_ == Section::Rhs || section_ == Section::Ranges || section_ == Section::Bounds) && !saw_columns_)
    return error(quoted(word) + " before COLUMNS");
  return std::nullopt;
}

std::size_t MpsReader::fields(std::string_view line, bool with_type, std::string_view* f) {
  if (!fixed_) return split_fields(line, f, kMaxFields);
  // Fixed MPS: columns 2-3, 5-12, 15-22, 25-36, 40-47, 50-61; names may hold
  // blanks, a blank name field (after the first) is left out.
  static constexpr std::size_t kStart[] = {1, 4, 14, 24, 39, 49};
  static constexpr std::size_t kEnd[] = {3, 12, 22, 36, 47, 61};
  std::size_t n = 0;
  for (std::size_t i = with_type ? 0 : 1; i < 6; ++i) {
    if (kStart[i] >= line.size()) break;
    const std::string_view part = trim(line.substr(kStart[i], kEnd[i] - kStart[i]));
    if (!part.empty()) f[n++] = part;
  }
  return n;
}

std::optional<FileError> MpsReader::data_line(std::string_view line) {
  std::string_view f[kMaxFields];
  std::size_t n = 0;
  switch (section_) {
    case Section::None:
      return error("data before the first section");
    case Section::Name:
      return error("data after NAME before ROWS");
    case Section::ObjSense: {
      n = split_fields(line, f, kMaxFields);
      if (n == 1 && (same_folded(f[0], "MAX") || same_folded(f[0], "MAXIMIZE") || same_folded(f[0], "MAXIMISE"))) {
        out_.sense = OptimizationSense::Maximize;
        return std::nullopt;
      }
      if (n == 1 && (same_folded(f[0], "MIN") || same_folded(f[0], "MINIMIZE") || same_folded(f[0], "MINIMISE"))) {
        out_.sense = OptimizationSense::Minimize;
        return std::nullopt;
      }
      return error("OBJSENSE takes MIN or MAX, not " + quoted(trim(line)));
    }
    case Section::ObjName:
      n = split_fields(line, f, kMaxFields);
      if (n != 1) return error("OBJNAME takes one row name");
      objective_row_.assign(f[0]);
      return std::nullopt;
    case Section::Rows:
      if (saw_columns_) return error("ROWS data after COLUMNS");
      n = fields(line, true, f);
      return rows_line(f, n);
    case Section::Columns:
      n = fields(line, false, f);
      return columns_line(f, n);
    case Section::Rhs:
    case Section::Ranges:
      n = fields(line, false, f);
      return rhs_line(f, n, section_ == Section::Ranges);
    case Section::Bounds:
      n = fields(line, true, f);
      return bounds_line(f, n);
    case Section::End:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<FileError> MpsReader::number(std::string_view text, double& v) {
  const auto parsed = parse_number(text);
  if (!parsed) return error(quoted(text) + " is not a number");
  v = *parsed;
  return std::nullopt;
}

std::optional<FileError> MpsReader::rows_line(std::string_view* f, std::size_t n) {
  if (n != 2) return error("a ROWS line is a type (N, E, L or G) and a row name");
  char type = 0;
  if (f[0].size() == 1) type = f[0][0];
  if (type >= 'a' && type <= 'z') type = static_cast<char>(type - 'a' + 'A');
  if (type != 'N' && type != 'E' && type != 'L' && type != 'G')
    return error("unknown row type " + quoted(f[0]) + " (N, E, L or G)");
  if (rows_.size() >= NameIndex::kNone - 1) return error("too many rows");
  const auto index = static_cast<std::uint32_t>(rows_.size());
  if (!valid_utf8(f[1])) return error("the row name " + quoted(f[1]) + " is not UTF-8 text");
  if (row_index_.add(f[1]) != index) return error("the row " + quoted(f[1]) + " is declared twice");
  if (type == 'N' && objective_ == NameIndex::kNone && (objective_row_.empty() || objective_row_ == f[1]))
    objective_ = index;
  rows_.push_back(Row{type});
  return std::nullopt;
}

std::optional<FileError> MpsReader::columns_line(std::string_view* f, std::size_t n) {
  if (n == 3 && (f[1] == "'MARKER'" || f[1] == "MARKER")) {
    if (f[2] == "'INTORG'" || f[2] == "INTORG") {
      integer_section_ = true;
    } else if (f[2] == "'INTEND'" || f[2] == "INTEND") {
      integer_section_ = false;
    } else {
      return error("a MARKER line ends in 'INTORG' or 'INTEND', not " + quoted(f[2]));
    }
    return std::nullopt;
  }
  std::size_t k = 0;
  if (n % 2 == 1) {
    const std::string_view name = f[0];
    k = 1;
    if (current_ == NameIndex::kNone || col_name(current_) != name) {
      if (types_.size() >= NameIndex::kNone - 1) return error("too many columns");
      const auto index = static_cast<std::uint32_t>(types_.size());
      if (!valid_utf8(name)) return error("the column name " + quoted(name) + " is not UTF-8 text");
      if (col_index_.add(name) != index)
        return error("the column " + quoted(name) + " appears again after other columns");
      current_ = index;
      types_.push_back(integer_section_ ? kInteger : kContinuous);
      cost_.push_back(0.0);
      lowers_.push_back(0.0);
      uppers_.push_back(kInf);
      lower_set_.push_back(false);
      bounded_.push_back(false);
    }
  } else if (current_ == NameIndex::kNone) {
    return error("a COLUMNS line without a column name before any column");
  }
  if (n < 2 || n > 5) return error("a COLUMNS line is a column name and one or two pairs of row name and value");
  for (; k + 1 < n; k += 2) {
    const std::uint32_t row = row_index_.find(f[k]);
    if (row == NameIndex::kNone) return error("unknown row " + quoted(f[k]));
    double v = 0.0;
    if (auto e = number(f[k + 1], v)) return e;
    if (last_col_in_row_[row] == current_)
      return error("the column " + quoted(col_name(current_)) + " has two entries in row " + quoted(f[k]));
    last_col_in_row_[row] = current_;
    if (row == objective_) {
      cost_[current_] = v;
    } else if (rows_[row].type != 'N' && v != 0.0) {
      entry_col_.push_back(current_);
      entry_row_.push_back(row);
      entry_value_.push_back(v);
    }
  }
  return std::nullopt;
}

std::optional<FileError> MpsReader::rhs_line(std::string_view* f, std::size_t n, bool ranges) {
  if (n < 2 || n > 5) return error(std::string(ranges ? "a RANGES" : "an RHS") +
                                   " line is an optional set name and one or two pairs of row name and value");
  std::size_t k = 0;
  if (n % 2 == 1) {
    std::string& set = ranges ? range_set_ : rhs_set_;
    bool& seen = ranges ? range_seen_ : rhs_seen_;
    if (!seen) {
      set.assign(f[0]);
      seen = true;
    } else if (set != f[0]) {
      return std::nullopt;  // a further set: not read
    }
    k = 1;
  }
  for (; k < n; k += 2) {
    const std::uint32_t row = row_index_.find(f[k]);
    if (row == NameIndex::kNone) return error("unknown row " + quoted(f[k]));
    double v = 0.0;
    if (auto e = number(f[k + 1], v)) return e;
    Row& r = rows_[row];
    if (ranges) {
      if (r.type == 'N') continue;
      r.range = v;
      r.has_range = true;
    } else {
      r.rhs = v;
    }
  }
  return std::nullopt;
}

std::optional<FileError> MpsReader::bounds_line(std::string_view* f, std::size_t n) {
  if (n < 2) return error("a BOUNDS line is a type, an optional set name, a column name and a value");
  std::string type(f[0]);
  for (auto& c : type)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  const bool needs_value = type == "UP" || type == "LO" || type == "FX" || type == "LI" || type == "UI";
  const bool valueless = type == "FR" || type == "MI" || type == "PL" || type == "BV";
  if (!needs_value && !valueless) {
    if (type == "SC") return error("semi-continuous bounds (SC) are not supported");
    return error("unknown bound type " + quoted(f[0]));
  }
  std::string_view set, column, value;
  if (needs_value) {
    if (n == 4) {
      set = f[1], column = f[2], value = f[3];
    } else if (n == 3) {
      column = f[1], value = f[2];
    } else {
      return error("the bound " + type + " needs a column and a value");
    }
  } else {
    if (n == 2) {
      column = f[1];
    } else if (n == 3 && col_index_.find(f[1]) != NameIndex::kNone && parse_number(f[2]) &&
               col_index_.find(f[2]) == NameIndex::kNone) {
      column = f[1];  // a value after a bound that takes none: ignored
    } else if (n == 3 || n == 4) {
      set = f[1], column = f[2];
    } else {
      return error("too many fields for the bound " + type);
    }
  }
  if (!set.empty()) {
    if (!bound_seen_) {
      bound_set_.assign(set);
      bound_seen_ = true;
    } else if (bound_set_ != set) {
      return std::nullopt;
    }
  }
  const std::uint32_t j = col_index_.find(column);
  if (j == NameIndex::kNone) return error("a bound on the unknown column " + quoted(column));
  double v = 0.0;
  if (needs_value)
    if (auto e = number(value, v)) return e;
  bounded_[j] = true;
  if (type == "UP" || type == "UI") {
    uppers_[j] = v;
    if (v < 0.0 && !lower_set_[j]) lowers_[j] = -kInf;
    if (type == "UI") types_[j] = kInteger;
  } else if (type == "LO" || type == "LI") {
    lowers_[j] = v;
    lower_set_[j] = true;
    if (type == "LI") types_[j] = kInteger;
  } else if (type == "FX") {
    lowers_[j] = uppers_[j] = v;
    lower_set_[j] = true;
  } else if (type == "FR") {
    lowers_[j] = -kInf;
    uppers_[j] = kInf;
    lower_set_[j] = true;
  } else if (type == "MI") {
    lowers_[j] = -kInf;
    lower_set_[j] = true;
  } else if (type == "PL") {
    uppers_[j] = kInf;
  } else {  // BV
    types_[j] = kBinary;
    lowers_[j] = 0.0;
    uppers_[j] = 1.0;
    lower_set_[j] = true;
  }
  return std::nullopt;
}

std::optional<FileError> MpsReader::finish() {
  const std::size_t n = types_.size();
  // Rows: every row but the N rows, in file order.
  std::vector<std::uint32_t> row_pos(rows_.size(), NameIndex::kNone);
  ConstraintBatch& c = out_.constraints;
  NameRun& names = out_.constraint_names;
  names.kind = NameRun::Kind::Texts;
  std::uint32_t m = 0;
  for (std::size_t r = 0; r < rows_.size(); ++r)
    if (rows_[r].type != 'N') row_pos[r] = m++;
  c.reserve(m, entry_value_.size());
  std::vector<std::uint64_t> count(static_cast<std::size_t>(m) + 1, 0);
  for (std::uint32_t r : entry_row_) ++count[row_pos[r] + 1];
  for (std::size_t r = 0; r < m; ++r) count[r + 1] += count[r];
  c.starts.assign(count.begin(), count.end());
  c.vars.resize(entry_value_.size());
  c.coeffs.resize(entry_value_.size());
  // Entries come column by column: each row's terms end up ascending.
  for (std::size_t k = 0; k < entry_value_.size(); ++k) {
    const auto at = count[row_pos[entry_row_[k]]]++;
    c.vars[at] = entry_col_[k];
    c.coeffs[at] = entry_value_[k];
  }
  for (std::size_t r = 0; r < rows_.size(); ++r) {
    const Row& row = rows_[r];
    if (row.type == 'N') continue;
    ScalarSetType set;
    const double rhs = row.rhs, R = row.range, a = std::fabs(R);
    if (row.type == 'E') {
      set = !row.has_range || R == 0.0 ? ScalarSetType::equal_to(rhs)
            : R > 0.0                  ? ScalarSetType::interval(rhs, rhs + R)
                                       : ScalarSetType::interval(rhs + R, rhs);
    } else if (row.type == 'L') {
      set = row.has_range ? ScalarSetType::interval(rhs - a, rhs) : ScalarSetType::less_than(rhs);
    } else {
      set = row.has_range ? ScalarSetType::interval(rhs, rhs + a) : ScalarSetType::greater_than(rhs);
    }
    c.constants.push_back(0.0);
    c.kinds.push_back(RowKind::of(set, false));
    c.bounds.push_back(set.value);
    if (set.kind == ScalarSetType::Kind::Interval) c.uppers.push_back(set.upper);
    names.arena += row_index_.text(static_cast<std::uint32_t>(r));
    names.ends.push_back(names.arena.size());
  }
  names.count = m;

  for (std::size_t j = 0; j < n; ++j)
    if (types_[j] == kInteger && !bounded_[j]) uppers_[j] = 1.0;
  VariableBatch& v = out_.variables;
  v.lowers.assign(lowers_.begin(), lowers_.end());
  v.uppers.assign(uppers_.begin(), uppers_.end());
  v.types.assign(types_.begin(), types_.end());
  col_index_.move_into(v.names);

  out_.objective = ScalarAffineFn{};
  for (std::size_t j = 0; j < n; ++j)
    if (cost_[j] != 0.0) out_.objective.terms.push_back(AffineTerm{VarId{j}, cost_[j]});
  if (objective_ != NameIndex::kNone) out_.objective.constant = -rows_[objective_].rhs;
  out_.has_objective = true;
  return std::nullopt;
}

}  // namespace

std::optional<FileError> read_mps(const std::string& path, ModelData& out) {
  ModelData data;
  MpsReader free_reader(path, false, data);
  auto e = free_reader.run();
  if (!e) {
    out = std::move(data);
    return std::nullopt;
  }
  if (e->io) return e;
  // Names with blanks only fit the fixed layout: read again that way.
  ModelData fixed_data;
  MpsReader fixed_reader(path, true, fixed_data);
  auto fixed_error = fixed_reader.run();
  if (!fixed_error) {
    out = std::move(fixed_data);
    return std::nullopt;
  }
  if (fixed_error->io) return fixed_error;
  return fixed_reader.line() > free_reader.line() ? fixed_error : e;
}

}  // namespace kest::io
