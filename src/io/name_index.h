#pragma once
// Names read from a file, looked up by text: each name kept once in a map
// that answers string_view lookups without building a string.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kest::io {

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

class NameIndex {
 public:
  static constexpr std::uint32_t kNone = 0xffffffffu;
  std::uint32_t find(std::string_view name) const {
    auto it = map_.find(name);
    return it == map_.end() ? kNone : it->second;
  }
  /// Adds name with `index` unless present; returns the index it has.
  std::uint32_t add(std::string_view name, std::uint32_t index) {
    return map_.try_emplace(std::string(name), index).first->second;
  }
  void reserve(std::size_t n) { map_.reserve(n); }

 private:
  std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> map_;
};

}  // namespace kest::io
