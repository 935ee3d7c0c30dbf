#pragma once
// The names a model file gives its variables and constraints: an item's own
// name where the format can carry it and no earlier item took it, otherwise
// a generated prefix_<position> (with a further "_" suffix in the rare case a
// model's own name already took that).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/names.h"

namespace kest::io {

enum class NameRules : std::uint8_t { Mps, Lp };

/// Whether `name` can stand as written in a file of that format.
bool valid_name(std::string_view name, NameRules rules);

class FileNames {
 public:
  FileNames(const NameSlice& names, std::string_view prefix, NameRules rules);
  std::string_view operator[](std::uint64_t i) const {
    const std::uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(arena_).substr(begin, ends_[i] - begin);
  }
  std::uint64_t size() const { return ends_.size(); }
  /// Whether one of the names equals `name`.
  bool contains(std::string_view name) const;

 private:
  std::string arena_;
  std::vector<std::uint64_t> ends_;
  bool generated_only_ = false;
  std::string prefix_;
};

}  // namespace kest::io
