// CPLEX-style LP in: the sections Minimize/Maximize, Subject To, Bounds,
// Generals, Binaries and End, as this module writes them and as common
// solvers do. Section words count only at the start of a line. Variables
// take their positions in the order the file first names them. A bound
// statement sets exactly what it says (a negative upper bound leaves the
// lower bound at 0); a binary is [0, 1] unless Bounds set a side.
#include <algorithm>
#include <deque>
#include <limits>
#include <vector>

#include "io/model_files.h"
#include "io/name_index.h"
#include "io/text_io.h"

namespace kest::io {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

enum class Tok : std::uint8_t { Name, Number, Plus, Minus, Colon, Le, Ge, Eq, Section, End };
enum class Part : std::uint8_t { None, Objective, Constraints, Bounds, Generals, Binaries, Unsupported, Done };

struct Token {
  Tok kind = Tok::End;
  std::string text;  // Name
  double value = 0.0;  // Number
  Part part = Part::None;  // Section
  OptimizationSense sense = OptimizationSense::Minimize;  // Section Objective
};

// A name is any run of characters other than blanks and the operators.
// CPLEX's own rules are narrower, but other writers use names that start
// with a digit or a period, and readers take them after a coefficient.
bool name_char(unsigned char c) {
  if (c <= 0x20 || c == 0x7f) return false;
  switch (c) {
    case '+': case '-': case ':': case '<': case '>': case '=': case '[': case ']': case '^': case '*':
      return false;
    default:
      return true;
  }
}
bool digit(char c) { return c >= '0' && c <= '9'; }

std::string lower(std::string_view s) {
  std::string out(s);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string quoted(std::string_view s) {
  std::string out = "'";
  out.append(s.substr(0, 60));
  if (s.size() > 60) out += "...";
  return out + "'";
}

class Lexer {
 public:
  explicit Lexer(const std::string& path) : file_(path) {}
  InputFile& file() { return file_; }
  const std::optional<FileError>& failure() const { return failure_; }

  /// The token `ahead` places on (0: the next one).
  const Token& peek(std::size_t ahead = 0) {
    while (queue_.size() <= ahead && !failure_) queue_.push_back(scan());
    if (failure_) {
      static const Token end;
      return end;
    }
    return queue_[ahead];
  }
  Token take() {
    peek();
    if (failure_ || queue_.empty()) return Token{};
    Token t = std::move(queue_.front());
    queue_.pop_front();
    return t;
  }
  void fail(std::string_view message) {
    if (!failure_) failure_ = file_.format_error(message);
  }

 private:
  Token scan();
  bool next_line();
  std::optional<Token> section_word();

  InputFile file_;
  std::string_view line_;  // valid until the next line is read: tokens copy what they keep
  std::size_t pos_ = 0;
  bool have_line_ = false;
  bool at_line_start_ = false;
  std::deque<Token> queue_;  // references to its tokens stay valid as it grows
  std::optional<FileError> failure_;
};

bool Lexer::next_line() {
  auto got = file_.next_line();
  if (!got) {
    if (file_.error()) failure_ = file_.error();
    return false;
  }
  std::string_view l = *got;
  if (l.find('\0') != std::string_view::npos) {
    fail("the line holds a NUL byte");
    return false;
  }
  const auto comment = l.find('\\');
  if (comment != std::string_view::npos) l = l.substr(0, comment);
  line_ = l;
  pos_ = 0;
  have_line_ = true;
  at_line_start_ = true;
  return true;
}

std::optional<Token> Lexer::section_word() {
  // The first word of a line, when it is a section word (and no label).
  std::size_t p = pos_;
  auto word_at = [&](std::size_t& at) {
    while (at < line_.size() && (line_[at] == ' ' || line_[at] == '\t')) ++at;
    const std::size_t b = at;
    while (at < line_.size() && line_[at] != ' ' && line_[at] != '\t' && line_[at] != ':') ++at;
    return lower(std::string_view(line_).substr(b, at - b));
  };
  const std::string w = word_at(p);
  if (p < line_.size() && line_[p] == ':') return std::nullopt;
  {
    std::size_t q = p;
    while (q < line_.size() && (line_[q] == ' ' || line_[q] == '\t')) ++q;
    if (q < line_.size() && line_[q] == ':') return std::nullopt;
  }
  Token t;
  t.kind = Tok::Section;
  if (w == "minimize" || w == "minimise" || w == "minimum" || w == "min" || w == "maximize" || w == "maximise" ||
      w == "maximum" || w == "max") {
    t.part = Part::Objective;
    t.sense = w[1] == 'a' ? OptimizationSense::Maximize : OptimizationSense::Minimize;
  } else if (w == "subject" || w == "such") {
    std::size_t q = p;
    const std::string second = word_at(q);
    if (second != (w == "subject" ? "to" : "that")) return std::nullopt;
    p = q;
    t.part = Part::Constraints;
  } else if (w == "st" || w == "s.t." || w == "st.") {
    t.part = Part::Constraints;
  } else if (w == "bounds" || w == "bound") {
    t.part = Part::Bounds;
  } else if (w == "general" || w == "generals" || w == "gen" || w == "integers") {
    t.part = Part::Generals;
  } else if (w == "binary" || w == "binaries" || w == "bin") {
    t.part = Part::Binaries;
  } else if (w == "end") {
    t.part = Part::Done;
  } else if (w == "semi-continuous" || w == "semis" || w == "semi" || w == "sos") {
    // Refused only when it holds something: some writers leave it empty.
    t.part = Part::Unsupported;
    t.text = w;
  } else {
    return std::nullopt;
  }
  pos_ = p;
  return t;
}

Token Lexer::scan() {
  for (;;) {
    if (!have_line_ || pos_ >= line_.size()) {
      have_line_ = false;
      if (!next_line()) return Token{};
    }
    if (at_line_start_) {
      at_line_start_ = false;
      if (auto t = section_word()) return *t;
    }
    while (pos_ < line_.size() && (line_[pos_] == ' ' || line_[pos_] == '\t')) ++pos_;
    if (pos_ >= line_.size()) continue;
    const char c = line_[pos_];
    Token t;
    if (name_char(static_cast<unsigned char>(c))) {
      // A number when the whole word is one (its exponent may carry a sign),
      // else a name: 2x is kept whole and split by the parser.
      const std::size_t b = pos_;
      if (digit(c) || c == '.') {
        while (pos_ < line_.size() && (digit(line_[pos_]) || line_[pos_] == '.')) ++pos_;
        if (pos_ < line_.size() && (line_[pos_] == 'e' || line_[pos_] == 'E')) {
          std::size_t q = pos_ + 1;
          if (q < line_.size() && (line_[q] == '+' || line_[q] == '-')) ++q;
          if (q < line_.size() && digit(line_[q])) {
            pos_ = q;
            while (pos_ < line_.size() && digit(line_[pos_])) ++pos_;
          }
        }
        if (pos_ >= line_.size() || !name_char(static_cast<unsigned char>(line_[pos_]))) {
          const std::string_view text = std::string_view(line_).substr(b, pos_ - b);
          if (const auto v = parse_number(text)) {
            t.kind = Tok::Number;
            t.value = *v;
            // Kept for a name made of digits ("100"), which some writers use.
            if (text.find_first_of(".eE") == std::string_view::npos) t.text.assign(text);
            return t;
          }
        }
      }
      while (pos_ < line_.size() && name_char(static_cast<unsigned char>(line_[pos_]))) ++pos_;
      t.kind = Tok::Name;
      t.text.assign(line_.substr(b, pos_ - b));
      return t;
    }
    ++pos_;
    const char n = pos_ < line_.size() ? line_[pos_] : '\0';
    switch (c) {
      case '+': t.kind = Tok::Plus; return t;
      case '-': t.kind = Tok::Minus; return t;
      case ':': t.kind = Tok::Colon; return t;
      case '<':
        if (n == '=') ++pos_;
        t.kind = Tok::Le;
        return t;
      case '>':
        if (n == '=') ++pos_;
        t.kind = Tok::Ge;
        return t;
      case '=':
        if (n == '<') { ++pos_; t.kind = Tok::Le; return t; }
        if (n == '>') { ++pos_; t.kind = Tok::Ge; return t; }
        t.kind = Tok::Eq;
        return t;
      case '[':
        fail("quadratic terms ('[') are not supported");
        return Token{};
      default:
        fail("unexpected character " + quoted(std::string_view(&line_[pos_ - 1], 1)));
        return Token{};
    }
  }
}

bool is_op(Tok k) { return k == Tok::Le || k == Tok::Ge || k == Tok::Eq; }
bool is_word(Tok k) { return k == Tok::Name || k == Tok::Number; }

/// "3x1" as 3 and "x1": a name with a leading number and a name after it.
bool split_coefficient(const std::string& word, double& coeff, std::string& name) {
  std::size_t k = 0;
  while (k < word.size() && (digit(word[k]) || word[k] == '.')) ++k;
  if (k == 0 || k == word.size() || digit(word[k]) || word[k] == '.') return false;
  const auto v = parse_number(std::string_view(word).substr(0, k));
  if (!v) return false;
  coeff = *v;
  name = word.substr(k);
  return true;
}
bool infinity_word(const Token& t) {
  if (t.kind != Tok::Name) return false;
  const std::string w = lower(t.text);
  return w == "inf" || w == "infinity";
}

struct Linear {
  std::vector<std::pair<std::uint32_t, double>> terms;
  double constant = 0.0;
};

class LpReader {
 public:
  LpReader(const std::string& path, ModelData& out) : lex_(path), out_(out) {}
  std::optional<FileError> run();

 private:
  bool error(std::string_view message) {
    lex_.fail(message);
    return false;
  }
  bool at_statement_end() {
    const Tok k = lex_.peek().kind;
    return k == Tok::Section || k == Tok::End;
  }
  std::uint32_t variable(const std::string& name);
  bool expression(Linear& into);
  bool signed_value(double& v);
  bool objective();
  bool constraint();
  bool bound();
  bool type_list(char32_t type);
  void finish();

  Lexer lex_;
  ModelData& out_;
  NameIndex index_;
  std::vector<double> lowers_, uppers_, cost_;
  std::vector<bool> upper_set_, lower_set_;
  std::vector<char32_t> types_;
  bool has_objective_ = false;
};

std::uint32_t LpReader::variable(const std::string& name) {
  if (const std::uint32_t j = index_.find(name); j != NameIndex::kNone) return j;
  if (types_.size() >= NameIndex::kNone - 1) {
    error("too many variables");
    return 0;
  }
  if (!valid_utf8(name)) {
    error("the name " + quoted(name) + " is not UTF-8 text");
    return 0;
  }
  const std::uint32_t j = index_.add(name);
  lowers_.push_back(0.0);
  uppers_.push_back(kInf);
  cost_.push_back(0.0);
  types_.push_back(kContinuous);
  upper_set_.push_back(false);
  lower_set_.push_back(false);
  return j;
}

bool LpReader::signed_value(double& v) {
  double sign = 1.0;
  while (lex_.peek().kind == Tok::Plus || lex_.peek().kind == Tok::Minus)
    if (lex_.take().kind == Tok::Minus) sign = -sign;
  const Token& t = lex_.peek();
  if (t.kind == Tok::Number) {
    v = sign * lex_.take().value;
    return true;
  }
  if (infinity_word(t)) {
    lex_.take();
    v = sign * kInf;
    return true;
  }
  return error("a number is missing here");
}

// A sum of [sign] [number] name and [sign] number terms, up to the first
// token that cannot continue it.
bool LpReader::expression(Linear& into) {
  bool first = true;
  for (;;) {
    const Tok k = lex_.peek().kind;
    double sign = 1.0;
    bool signed_term = false;
    if (k == Tok::Plus || k == Tok::Minus) {
      while (lex_.peek().kind == Tok::Plus || lex_.peek().kind == Tok::Minus)
        if (lex_.take().kind == Tok::Minus) sign = -sign;
      signed_term = true;
    } else if (!first) {
      return true;
    }
    const Token& t = lex_.peek();
    if (t.kind == Tok::Number && !(lex_.peek(1).kind == Tok::Colon)) {
      const double v = sign * lex_.take().value;
      // A word right after a number (not a label) is the term's variable,
      // whatever it looks like.
      if (is_word(lex_.peek().kind) && lex_.peek(1).kind != Tok::Colon && !infinity_word(lex_.peek())) {
        const std::uint32_t j = variable(lex_.take().text);
        if (lex_.failure()) return false;
        into.terms.emplace_back(j, v);
      } else {
        into.constant += v;
      }
    } else if (t.kind == Tok::Name && lex_.peek(1).kind != Tok::Colon) {
      if (infinity_word(t)) return error("an infinite term in an expression");
      const Token word = lex_.take();
      double coeff = 1.0;
      std::string name;
      if (!split_coefficient(word.text, coeff, name)) name = word.text;
      const std::uint32_t j = variable(name);
      if (lex_.failure()) return false;
      into.terms.emplace_back(j, sign * coeff);
    } else {
      if (signed_term) return error("a sign without a term after it");
      return true;
    }
    if (lex_.failure()) return false;
    first = false;
  }
}

bool LpReader::objective() {
  if (is_word(lex_.peek().kind) && lex_.peek(1).kind == Tok::Colon) {
    lex_.take();
    lex_.take();
  }
  Linear f;
  if (!expression(f)) return false;
  if (!at_statement_end()) return error("the objective is one sum of terms");
  for (auto& [j, c] : f.terms) cost_[j] += c;
  out_.objective.constant += f.constant;
  has_objective_ = true;
  return true;
}

bool LpReader::constraint() {
  std::string name;
  if (is_word(lex_.peek().kind) && lex_.peek(1).kind == Tok::Colon) {
    name = lex_.take().text;
    lex_.take();
    if (!valid_utf8(name)) return error("the name " + quoted(name) + " is not UTF-8 text");
  }
  Linear f;
  if (!expression(f)) return false;
  if (!is_op(lex_.peek().kind)) return error("a comparison (<=, >= or =) is missing");
  const Tok op = lex_.take().kind;
  ScalarSetType set;
  if (f.terms.empty()) {
    // lower <= expression [<= upper], or the same with >=.
    const double left = f.constant;
    Linear g;
    if (!expression(g)) return false;
    if (g.terms.empty() && !is_op(lex_.peek().kind)) {
      // No variable on either side: a row of constants alone.
      const double v = g.constant - left;
      set = op == Tok::Le ? ScalarSetType::less_than(v) : op == Tok::Ge ? ScalarSetType::greater_than(v)
                                                                        : ScalarSetType::equal_to(v);
    } else if (is_op(lex_.peek().kind)) {
      const Tok op2 = lex_.take().kind;
      double right = 0.0;
      if (!signed_value(right)) return false;
      if (op != op2 || op == Tok::Eq) return error("a ranged constraint has two comparisons of the same kind");
      const double lo = (op == Tok::Le ? left : right) - g.constant, hi = (op == Tok::Le ? right : left) - g.constant;
      set = ScalarSetType::interval(lo, hi);
    } else {
      const double v = left - g.constant;
      set = op == Tok::Le ? ScalarSetType::greater_than(v) : op == Tok::Ge ? ScalarSetType::less_than(v)
                                                                           : ScalarSetType::equal_to(v);
    }
    f = std::move(g);
  } else {
    double rhs = 0.0;
    if (!signed_value(rhs)) return false;
    rhs -= f.constant;
    set = op == Tok::Le ? ScalarSetType::less_than(rhs) : op == Tok::Ge ? ScalarSetType::greater_than(rhs)
                                                                        : ScalarSetType::equal_to(rhs);
  }
  // Terms by variable, repeats summed.
  auto& t = f.terms;
  if (!std::is_sorted(t.begin(), t.end(), [](const auto& a, const auto& b) { return a.first < b.first; }))
    std::stable_sort(t.begin(), t.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  ConstraintBatch& c = out_.constraints;
  for (std::size_t k = 0; k < t.size(); ++k) {
    double v = t[k].second;
    while (k + 1 < t.size() && t[k + 1].first == t[k].first) v += t[++k].second;
    if (v == 0.0) continue;
    c.vars.push_back(t[k].first);
    c.coeffs.push_back(v);
  }
  c.starts.push_back(c.vars.size());
  c.constants.push_back(0.0);
  c.kinds.push_back(RowKind::of(set, false));
  c.bounds.push_back(set.value);
  if (set.kind == ScalarSetType::Kind::Interval) c.uppers.push_back(set.upper);
  NameRun& names = out_.constraint_names;
  names.arena += name;
  names.ends.push_back(names.arena.size());
  return true;
}

bool LpReader::bound() {
  const Token& first = lex_.peek();
  // "2 <= x" puts the value first; a name that reads as a number ("100 <= 5")
  // is told apart by what follows the comparison.
  const bool name_first =
      (first.kind == Tok::Name && !infinity_word(first)) ||
      (first.kind == Tok::Number && is_op(lex_.peek(1).kind) && lex_.peek(2).kind != Tok::Name &&
       !is_op(lex_.peek(3).kind));
  if (name_first) {
    const std::uint32_t j = variable(lex_.take().text);
    if (lex_.failure()) return false;
    const Token& next = lex_.peek();
    if (next.kind == Tok::Name && lower(next.text) == "free") {
      lex_.take();
      lowers_[j] = -kInf;
      uppers_[j] = kInf;
      lower_set_[j] = upper_set_[j] = true;
      return true;
    }
    if (!is_op(next.kind)) return error("a bound is a comparison of a variable with a number, or 'free'");
    const Tok op = lex_.take().kind;
    double v = 0.0;
    if (!signed_value(v)) return false;
    if (op != Tok::Ge) uppers_[j] = v, upper_set_[j] = true;
    if (op != Tok::Le) lowers_[j] = v, lower_set_[j] = true;
    return true;
  }
  double left = 0.0;
  if (!signed_value(left)) return false;
  if (!is_op(lex_.peek().kind)) return error("a comparison is missing in the bound");
  const Tok op = lex_.take().kind;
  if (!is_word(lex_.peek().kind) || infinity_word(lex_.peek())) return error("a variable is missing in the bound");
  const std::uint32_t j = variable(lex_.take().text);
  if (lex_.failure()) return false;
  if (op != Tok::Le) uppers_[j] = left, upper_set_[j] = true;
  if (op != Tok::Ge) lowers_[j] = left, lower_set_[j] = true;
  if (is_op(lex_.peek().kind)) {
    const Tok op2 = lex_.take().kind;
    double right = 0.0;
    if (!signed_value(right)) return false;
    if (op2 != op || op == Tok::Eq) return error("a two-sided bound has two comparisons of the same kind");
    if (op2 == Tok::Le) uppers_[j] = right, upper_set_[j] = true;
    else lowers_[j] = right, lower_set_[j] = true;
  }
  return true;
}

bool LpReader::type_list(char32_t type) {
  while (is_word(lex_.peek().kind)) {
    const std::uint32_t j = variable(lex_.take().text);
    if (lex_.failure()) return false;
    types_[j] = type;
  }
  if (!at_statement_end()) return error("a list of variable names is expected here");
  return true;
}

std::optional<FileError> LpReader::run() {
  if (lex_.file().error()) return lex_.file().error();
  Part part = Part::None;
  std::string unsupported;
  bool done = false;
  while (!lex_.failure()) {
    const Token& t = lex_.peek();
    if (t.kind == Tok::End) break;
    if (t.kind == Tok::Section) {
      const Token s = lex_.take();
      if (s.part == Part::Objective) {
        if (part != Part::None) return lex_.file().format_error("a second objective section");
        out_.sense = s.sense;
      }
      part = s.part;
      unsupported = s.text;
      if (part == Part::Done) {
        done = true;
        break;
      }
      continue;
    }
    bool ok = true;
    switch (part) {
      case Part::None:
        ok = error("text before the objective section (Minimize or Maximize)");
        break;
      case Part::Objective:
        ok = has_objective_ ? error("the objective is one sum of terms") : objective();
        break;
      case Part::Constraints:
        ok = constraint();
        break;
      case Part::Bounds:
        ok = bound();
        break;
      case Part::Generals:
        ok = type_list(kInteger);
        break;
      case Part::Binaries:
        ok = type_list(kBinary);
        break;
      case Part::Unsupported:
        ok = error("the section " + quoted(unsupported) + " is not supported (linear and integer models only)");
        break;
      case Part::Done:
        break;
    }
    if (!ok) break;
  }
  if (lex_.failure()) return lex_.failure();
  if (!done) return lex_.file().format_error("the file ends before End");
  finish();
  return std::nullopt;
}

void LpReader::finish() {
  const std::size_t n = types_.size();
  for (std::size_t j = 0; j < n; ++j) {
    if (types_[j] != kBinary) continue;
    if (!upper_set_[j]) uppers_[j] = 1.0;
    if (!lower_set_[j]) lowers_[j] = 0.0;
  }
  VariableBatch& v = out_.variables;
  v.lowers.assign(lowers_.begin(), lowers_.end());
  v.uppers.assign(uppers_.begin(), uppers_.end());
  v.types.assign(types_.begin(), types_.end());
  index_.move_into(v.names);
  out_.constraint_names.kind = NameRun::Kind::Texts;
  out_.constraint_names.count = out_.constraints.size();
  for (std::size_t j = 0; j < n; ++j)
    if (cost_[j] != 0.0) out_.objective.terms.push_back(AffineTerm{VarId{j}, cost_[j]});
  out_.has_objective = true;
}

}  // namespace

std::optional<FileError> read_lp(const std::string& path, ModelData& out) {
  ModelData data;
  LpReader reader(path, data);
  if (auto e = reader.run()) return e;
  out = std::move(data);
  return std::nullopt;
}

}  // namespace kest::io
