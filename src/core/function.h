#pragma once
// The function of a constraint or objective.
#include <cstdint>
#include <variant>

#include "core/affine.h"

namespace kest {

struct SingleVariable {
  VarId var;
  friend bool operator==(const SingleVariable&, const SingleVariable&) = default;
};

struct ScalarFunctionType {
  std::variant<SingleVariable, ScalarAffineFn> value;

  ScalarFunctionType() : value(ScalarAffineFn{}) {}
  ScalarFunctionType(SingleVariable v) : value(v) {}
  ScalarFunctionType(ScalarAffineFn f) : value(std::move(f)) {}

  const ScalarAffineFn* affine() const { return std::get_if<ScalarAffineFn>(&value); }
  const SingleVariable* single() const { return std::get_if<SingleVariable>(&value); }

  friend bool operator==(const ScalarFunctionType&, const ScalarFunctionType&) = default;
};

}  // namespace kest
