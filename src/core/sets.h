#pragma once
// The set a constraint function must lie in.
#include <cstdint>

namespace kest {

struct ScalarSetType {
  enum class Kind : std::uint8_t { GreaterThan = 0, LessThan = 1, EqualTo = 2, Interval = 3 };
  Kind kind = Kind::EqualTo;
  double value = 0.0;  // the bound; the lower bound of an Interval
  double upper = 0.0;  // used by Interval only

  static constexpr ScalarSetType greater_than(double v) { return {Kind::GreaterThan, v, 0.0}; }
  static constexpr ScalarSetType less_than(double v) { return {Kind::LessThan, v, 0.0}; }
  static constexpr ScalarSetType equal_to(double v) { return {Kind::EqualTo, v, 0.0}; }
  static constexpr ScalarSetType interval(double lo, double hi) { return {Kind::Interval, lo, hi}; }

  friend bool operator==(const ScalarSetType&, const ScalarSetType&) = default;
};

}  // namespace kest
