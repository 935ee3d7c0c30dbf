#pragma once
// Keys and values of model attributes and optimizer settings.
#include <cstdint>
#include <functional>
#include <string>
#include <variant>

#include "core/function.h"
#include "core/ids.h"

namespace kest {

enum class ModelAttr : std::uint8_t {
  ObjectiveSense = 0,
  ObjectiveFunction = 1,
  // Not used by the modelling layer; the bridge forwards them untouched.
  Name = 2,
  NumberOfVariables = 3,
  NumberOfConstraints = 4,
};

/// A solver setting key. Equality and hashing are structural.
struct OptimizerAttr {
  enum class Kind : std::uint8_t { SolverName = 0, Silent = 1, TimeLimit = 2, Raw = 3 };
  Kind kind = Kind::SolverName;
  std::string name;  // Raw only

  static OptimizerAttr solver_name() { return {Kind::SolverName, {}}; }
  static OptimizerAttr silent() { return {Kind::Silent, {}}; }
  static OptimizerAttr time_limit() { return {Kind::TimeLimit, {}}; }
  static OptimizerAttr raw(std::string n) { return {Kind::Raw, std::move(n)}; }

  friend bool operator==(const OptimizerAttr& a, const OptimizerAttr& b) {
    return a.kind == b.kind && (a.kind != Kind::Raw || a.name == b.name);
  }
};

/// The value of an attribute or setting; the variant index is the kind.
struct AttrValue {
  enum class Kind : std::uint8_t { String = 0, Int = 1, Float = 2, Bool = 3, Sense = 4, Function = 5 };
  std::variant<std::string, std::int64_t, double, bool, OptimizationSense, ScalarFunctionType> value;

  static AttrValue string(std::string s) { return {decltype(value)(std::in_place_index<0>, std::move(s))}; }
  static AttrValue integer(std::int64_t i) { return {decltype(value)(std::in_place_index<1>, i)}; }
  static AttrValue floating(double d) { return {decltype(value)(std::in_place_index<2>, d)}; }
  static AttrValue boolean(bool b) { return {decltype(value)(std::in_place_index<3>, b)}; }
  static AttrValue sense(OptimizationSense s) { return {decltype(value)(std::in_place_index<4>, s)}; }
  static AttrValue function(ScalarFunctionType f) { return {decltype(value)(std::in_place_index<5>, std::move(f))}; }

  Kind kind() const { return static_cast<Kind>(value.index()); }
  friend bool operator==(const AttrValue&, const AttrValue&) = default;
};

}  // namespace kest

template <>
struct std::hash<kest::OptimizerAttr> {
  std::size_t operator()(const kest::OptimizerAttr& a) const noexcept {
    std::size_t h = static_cast<std::size_t>(a.kind) * 0x9e3779b97f4a7c15ULL;
    if (a.kind == kest::OptimizerAttr::Kind::Raw) h ^= std::hash<std::string>{}(a.name);
    return h;
  }
};
