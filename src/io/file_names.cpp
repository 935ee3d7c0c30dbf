#include "io/file_names.h"

#include <unordered_set>

#include "io/text_io.h"

namespace kest::io {

namespace {

bool lp_char(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80) return true;
  switch (c) {
    case '!': case '"': case '#': case '$': case '%': case '&': case '(': case ')': case '/':
    case ',': case '.': case ';': case '?': case '@': case '_': case '`': case '\'': case '{':
    case '}': case '|': case '~':
      return true;
    default:
      return false;
  }
}

// Words an LP reader takes for a section or a bound where a name could stand.
bool lp_keyword(std::string_view name) {
  static constexpr std::string_view kWords[] = {
      "minimize", "minimise", "minimum", "min",   "maximize", "maximise", "maximum", "max",
      "subject",  "such",     "st",      "s.t.",  "st.",      "bounds",   "bound",   "general",
      "generals", "gen",      "integer", "integers", "binary", "binaries", "bin",    "semi",
      "semis",    "semi-continuous", "sos", "end", "free",     "inf",      "infinity", "nan"};
  if (name.size() > 15) return false;
  char lower[16];
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  const std::string_view folded(lower, name.size());
  for (auto w : kWords)
    if (folded == w) return true;
  return false;
}

}  // namespace

bool valid_name(std::string_view name, NameRules rules) {
  if (name.empty()) return false;
  const auto first = static_cast<unsigned char>(name.front());
  if (rules == NameRules::Mps) {
    if (first == '$' || first == '*') return false;
    for (char ch : name) {
      const auto c = static_cast<unsigned char>(ch);
      if (c <= 0x20 || c == 0x7f) return false;
    }
    return true;
  }
  if (name.size() > 255) return false;
  if ((first >= '0' && first <= '9') || first == '.') return false;
  // e12 or E+3 would read as the exponent of a number before it.
  if ((first == 'e' || first == 'E') && name.size() > 1) {
    const char second = name[1];
    if ((second >= '0' && second <= '9') || second == '+' || second == '-') return false;
  }
  for (char ch : name)
    if (!lp_char(static_cast<unsigned char>(ch))) return false;
  return !lp_keyword(name);
}

FileNames::FileNames(const NameSlice& names, std::string_view prefix, NameRules rules) : prefix_(prefix) {
  const std::uint64_t n = names.size();
  ends_.reserve(n);
  if (!names.any_named()) {
    // Only generated names: unique by construction, no set needed.
    generated_only_ = true;
    arena_.reserve(n * (prefix.size() + 8));
    for (std::uint64_t i = 0; i < n; ++i) {
      arena_ += prefix;
      arena_ += '_';
      append_index(arena_, i);
      ends_.push_back(arena_.size());
    }
    return;
  }
  for (std::uint64_t i = 0; i < n; ++i) {
    names.append(arena_, i);
    ends_.push_back(arena_.size());
  }
  std::unordered_set<std::string_view> taken;
  taken.reserve(static_cast<std::size_t>(n));
  std::vector<std::uint64_t> renamed;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::string_view name = (*this)[i];
    if (!valid_name(name, rules) || !taken.insert(name).second) renamed.push_back(i);
  }
  if (renamed.empty()) return;
  std::vector<std::string> generated;
  generated.reserve(renamed.size());
  for (std::uint64_t i : renamed) {
    std::string g(prefix);
    g += '_';
    append_index(g, i);
    while (taken.count(g)) g += '_';
    generated.push_back(std::move(g));
    taken.insert(generated.back());
  }
  std::string arena;
  arena.reserve(arena_.size());
  std::vector<std::uint64_t> ends;
  ends.reserve(ends_.size());
  std::size_t next = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    if (next < renamed.size() && renamed[next] == i)
      arena += generated[next++];
    else
      arena += (*this)[i];
    ends.push_back(arena.size());
  }
  arena_ = std::move(arena);
  ends_ = std::move(ends);
}

bool FileNames::contains(std::string_view name) const {
  for (std::uint64_t i = 0; i < size(); ++i)
    if ((*this)[i] == name) return true;
  return false;
}

}  // namespace kest::io
