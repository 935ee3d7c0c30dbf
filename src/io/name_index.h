#pragma once
// Names read from a file, looked up by text. An open-addressing table of
// (hash tag, index) pairs over one arena of the names: a lookup touches one
// or two slots of a flat array, where a node-based map chased pointers for
// every entry of a large file.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/names.h"

namespace kest::io {

class NameIndex {
 public:
  static constexpr std::uint32_t kNone = 0xffffffffu;

  std::uint32_t find(std::string_view name) const {
    if (slots_.empty()) return kNone;
    const std::uint32_t tag = hash(name);
    for (std::size_t s = tag & mask_;; s = (s + 1) & mask_) {
      const std::uint64_t slot = slots_[s];
      if (slot == 0) return kNone;
      const auto index = static_cast<std::uint32_t>(slot) - 1;
      if (static_cast<std::uint32_t>(slot >> 32) == tag && text(index) == name) return index;
    }
  }
  /// Adds name with the next index unless present; returns the index it has.
  std::uint32_t add(std::string_view name) {
    if ((ends_.size() + 1) * 2 > slots_.size()) grow();
    const std::uint32_t tag = hash(name);
    std::size_t s = tag & mask_;
    for (;; s = (s + 1) & mask_) {
      const std::uint64_t slot = slots_[s];
      if (slot == 0) break;
      const auto index = static_cast<std::uint32_t>(slot) - 1;
      if (static_cast<std::uint32_t>(slot >> 32) == tag && text(index) == name) return index;
    }
    const auto index = static_cast<std::uint32_t>(ends_.size());
    arena_.append(name);
    ends_.push_back(arena_.size());
    slots_[s] = (std::uint64_t{tag} << 32) | (std::uint64_t{index} + 1);
    return index;
  }
  std::size_t size() const { return ends_.size(); }
  std::string_view text(std::uint32_t index) const {
    const std::uint64_t begin = index == 0 ? 0 : ends_[index - 1];
    return std::string_view(arena_).substr(begin, ends_[index] - begin);
  }
  /// The names in index order, as a NameRun's arena and ends take them.
  std::string& arena() { return arena_; }
  std::vector<std::uint64_t>& ends() { return ends_; }
  /// Moves the names into `run` as its texts, in index order.
  void move_into(NameRun& run) {
    run.kind = NameRun::Kind::Texts;
    run.count = ends_.size();
    run.arena = std::move(arena_);
    run.ends = std::move(ends_);
  }

 private:
  static std::uint32_t hash(std::string_view s) {
    // FNV-1a, folded to 32 bits.
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return static_cast<std::uint32_t>(h ^ (h >> 32));
  }
  void grow() {
    const std::size_t size = slots_.empty() ? 64 : slots_.size() * 2;
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(size, 0);
    mask_ = size - 1;
    for (std::uint64_t slot : old) {
      if (slot == 0) continue;
      std::size_t s = static_cast<std::uint32_t>(slot >> 32) & mask_;
      while (slots_[s] != 0) s = (s + 1) & mask_;
      slots_[s] = slot;
    }
  }
  std::vector<std::uint64_t> slots_;
  std::size_t mask_ = 0;
  std::string arena_;
  std::vector<std::uint64_t> ends_;
};

}  // namespace kest::io
