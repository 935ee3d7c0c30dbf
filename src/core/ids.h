#pragma once
// Identifiers, variable type codes and the objective direction.
#include <compare>
#include <cstdint>
#include <functional>

namespace kest {

/// A variable: dense from 0 in creation order, also its position in the cache.
struct VarId {
  std::uint64_t index = 0;
  friend constexpr auto operator<=>(VarId, VarId) = default;
};

/// A constraint: the number of constraints stored before it.
struct ConstrId {
  std::uint64_t index = 0;
  friend constexpr auto operator<=>(ConstrId, ConstrId) = default;
};

// Variable type codes carried through the core layers.
inline constexpr char32_t kContinuous = U'C';
inline constexpr char32_t kBinary = U'B';
inline constexpr char32_t kInteger = U'I';

enum class OptimizationSense : std::uint8_t { Minimize = 0, Maximize = 1 };

}  // namespace kest

template <>
struct std::hash<kest::ConstrId> {
  std::size_t operator()(kest::ConstrId id) const noexcept { return std::hash<std::uint64_t>{}(id.index); }
};
template <>
struct std::hash<kest::VarId> {
  std::size_t operator()(kest::VarId id) const noexcept { return std::hash<std::uint64_t>{}(id.index); }
};
