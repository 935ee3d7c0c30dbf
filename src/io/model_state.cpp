#include "io/model_state.h"

#include <cstring>
#include <limits>

#include "core/fault.h"

namespace kest::io {

namespace {

constexpr char kMagic[4] = {'K', 'S', 'T', '1'};

class Out {
 public:
  explicit Out(std::string& s) : s_(s) {}
  template <class T>
  void put(T v) {
    s_.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  template <class T>
  void array(std::span<const T> v) {
    put<std::uint64_t>(v.size());
    if (!v.empty()) s_.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
  }
  void text(std::string_view t) {
    put<std::uint64_t>(t.size());
    s_.append(t);
  }

 private:
  std::string& s_;
};

class In {
 public:
  explicit In(std::string_view s) : s_(s) {}
  bool ok() const { return ok_; }
  template <class T>
  T get() {
    T v{};
    if (!ok_ || s_.size() < sizeof v) {
      ok_ = false;
      return v;
    }
    std::memcpy(&v, s_.data(), sizeof v);
    s_.remove_prefix(sizeof v);
    return v;
  }
  template <class V>
  void array(V& out) {
    using T = typename V::value_type;
    const auto n = get<std::uint64_t>();
    if (!ok_ || n > s_.size() / sizeof(T)) {
      ok_ = false;
      return;
    }
    out.resize(static_cast<std::size_t>(n));
    if (n != 0) std::memcpy(out.data(), s_.data(), static_cast<std::size_t>(n) * sizeof(T));  // no null pointers
    s_.remove_prefix(static_cast<std::size_t>(n) * sizeof(T));
  }
  std::string text() {
    const auto n = get<std::uint64_t>();
    if (!ok_ || n > s_.size()) {
      ok_ = false;
      return {};
    }
    std::string t(s_.substr(0, static_cast<std::size_t>(n)));
    s_.remove_prefix(static_cast<std::size_t>(n));
    return t;
  }
  bool at_end() const { return s_.empty(); }

 private:
  std::string_view s_;
  bool ok_ = true;
};

void put_names(Out& o, const NameSlice& names) {
  if (!names.any_named()) {
    o.put<std::uint8_t>(0);
    return;
  }
  o.put<std::uint8_t>(1);
  std::string arena;
  std::vector<std::uint64_t> ends;
  ends.reserve(static_cast<std::size_t>(names.size()));
  for (std::uint64_t i = 0; i < names.size(); ++i) {
    names.append(arena, i);
    ends.push_back(arena.size());
  }
  o.text(arena);
  o.array(std::span<const std::uint64_t>(ends));
}

bool get_names(In& in, NameRun& run, std::uint64_t count) {
  run = NameRun{};
  run.count = count;
  const auto kind = in.get<std::uint8_t>();
  if (kind == 0) return in.ok();
  if (kind != 1) return false;
  run.kind = NameRun::Kind::Texts;
  run.arena = in.text();
  in.array(run.ends);
  if (!in.ok() || run.ends.size() != count) return false;
  std::uint64_t prev = 0;
  for (auto e : run.ends) {
    if (e < prev || e > run.arena.size()) return false;
    prev = e;
  }
  return true;
}

}  // namespace

std::string save_state(const ModelView& model, const Settings& settings, std::string_view backend) {
  const VariableColumns& v = model.variables;
  const ConstraintColumns& c = model.constraints;
  std::string s;
  s.reserve(64 + v.size() * 20 + c.terms() * 12 + c.size() * 26);
  s.append(kMagic, sizeof kMagic);
  Out o(s);
  o.text(model.name);
  o.text(backend);
  o.array(v.lowers.values);
  o.array(v.uppers.values);
  o.array(v.types);
  put_names(o, v.names);

  const std::size_t m = c.size();
  std::vector<std::uint64_t> starts(m + 1);
  for (std::size_t r = 0; r <= m; ++r) starts[r] = c.starts[r] - c.starts[0];
  o.array(std::span<const std::uint64_t>(starts));
  o.array(c.vars.values);
  o.array(c.coeffs.values);
  o.array(c.constants.values);
  o.array(c.kinds);
  o.array(c.bounds.values);
  std::vector<double> uppers;
  if (c.interval_uppers)
    for (const auto& [row, upper] : *c.interval_uppers)
      if (row >= c.first && row < c.first + m) uppers.push_back(upper);
  o.array(std::span<const double>(uppers));
  put_names(o, c.names);

  o.put<std::uint8_t>(model.objective ? 1 : 0);
  o.put<std::uint8_t>(static_cast<std::uint8_t>(model.sense));
  std::vector<std::uint64_t> obj_vars;
  std::vector<double> obj_coeffs;
  double constant = 0.0;
  if (model.objective) {
    for (const auto& t : model.objective->terms) {
      obj_vars.push_back(t.var.index);
      obj_coeffs.push_back(t.coeff);
    }
    constant = model.objective->constant;
  }
  o.array(std::span<const std::uint64_t>(obj_vars));
  o.array(std::span<const double>(obj_coeffs));
  o.put(constant);

  o.put<std::uint64_t>(settings.size());
  for (const auto& [key, value] : settings) {
    o.put<std::uint8_t>(static_cast<std::uint8_t>(key.kind));
    o.text(key.name);
    o.put<std::uint8_t>(static_cast<std::uint8_t>(value.kind()));
    switch (value.kind()) {
      case AttrValue::Kind::String: o.text(std::get<std::string>(value.value)); break;
      case AttrValue::Kind::Int: o.put(std::get<std::int64_t>(value.value)); break;
      case AttrValue::Kind::Float: o.put(std::get<double>(value.value)); break;
      case AttrValue::Kind::Bool: o.put<std::uint8_t>(std::get<bool>(value.value)); break;
      default: throw Fault("a setting whose value is neither text nor a number");
    }
  }
  return s;
}

std::optional<LoadedState> load_state(std::string_view bytes, std::string& problem) {
  problem = "not a saved kestpy model";
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return std::nullopt;
  In in(bytes.substr(sizeof kMagic));
  LoadedState st;
  ModelData& d = st.model;
  d.name = in.text();
  st.backend = in.text();
  VariableBatch& v = d.variables;
  in.array(v.lowers);
  in.array(v.uppers);
  in.array(v.types);
  const std::size_t n = v.lowers.size();
  if (!in.ok() || v.uppers.size() != n || v.types.size() != n) return std::nullopt;
  for (char32_t t : v.types)
    if (t != kContinuous && t != kBinary && t != kInteger) return std::nullopt;
  if (!get_names(in, v.names, n)) return std::nullopt;

  ConstraintBatch& c = d.constraints;
  in.array(c.starts);
  in.array(c.vars);
  in.array(c.coeffs);
  in.array(c.constants);
  in.array(c.kinds);
  in.array(c.bounds);
  in.array(c.uppers);
  const std::size_t m = c.constants.size();
  if (!in.ok() || c.starts.size() != m + 1 || c.kinds.size() != m || c.bounds.size() != m ||
      c.coeffs.size() != c.vars.size() || c.starts[0] != 0 || c.starts[m] != c.vars.size())
    return std::nullopt;
  std::size_t intervals = 0;
  for (std::size_t r = 0; r < m; ++r) {
    if (c.starts[r] > c.starts[r + 1]) return std::nullopt;
    if ((c.kinds[r] & ~(RowKind::kSetMask | RowKind::kSingle)) != 0) return std::nullopt;
    if (RowKind::set_kind(c.kinds[r]) == ScalarSetType::Kind::Interval) ++intervals;
    if ((c.kinds[r] & RowKind::kSingle) && c.starts[r + 1] - c.starts[r] != 1) return std::nullopt;
  }
  if (intervals != c.uppers.size()) return std::nullopt;
  for (auto j : c.vars)
    if (j >= n) return std::nullopt;
  if (!get_names(in, d.constraint_names, m)) return std::nullopt;

  d.has_objective = in.get<std::uint8_t>() != 0;
  const auto sense = in.get<std::uint8_t>();
  if (sense > 1) return std::nullopt;
  d.sense = static_cast<OptimizationSense>(sense);
  std::vector<std::uint64_t> obj_vars;
  std::vector<double> obj_coeffs;
  in.array(obj_vars);
  in.array(obj_coeffs);
  d.objective.constant = in.get<double>();
  if (!in.ok() || obj_vars.size() != obj_coeffs.size()) return std::nullopt;
  for (std::size_t k = 0; k < obj_vars.size(); ++k) {
    if (obj_vars[k] >= n) return std::nullopt;
    d.objective.terms.push_back(AffineTerm{VarId{obj_vars[k]}, obj_coeffs[k]});
  }

  const auto count = in.get<std::uint64_t>();
  for (std::uint64_t i = 0; i < count && in.ok(); ++i) {
    const auto key_kind = in.get<std::uint8_t>();
    std::string key_name = in.text();
    const auto value_kind = in.get<std::uint8_t>();
    if (key_kind > static_cast<std::uint8_t>(OptimizerAttr::Kind::Raw)) return std::nullopt;
    OptimizerAttr key{static_cast<OptimizerAttr::Kind>(key_kind), std::move(key_name)};
    AttrValue value;
    switch (static_cast<AttrValue::Kind>(value_kind)) {
      case AttrValue::Kind::String: value = AttrValue::string(in.text()); break;
      case AttrValue::Kind::Int: value = AttrValue::integer(in.get<std::int64_t>()); break;
      case AttrValue::Kind::Float: value = AttrValue::floating(in.get<double>()); break;
      case AttrValue::Kind::Bool: value = AttrValue::boolean(in.get<std::uint8_t>() != 0); break;
      default: return std::nullopt;
    }
    st.settings.emplace_back(std::move(key), std::move(value));
  }
  if (!in.ok() || !in.at_end()) return std::nullopt;
  problem.clear();
  return st;
}

}  // namespace kest::io
