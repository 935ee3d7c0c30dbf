#pragma once
// The model cache's record of one variable and of one constraint.
#include <limits>
#include <string>

#include "core/function.h"
#include "core/ids.h"
#include "core/sets.h"

namespace kest {

struct VarInfo {
  VarId id;
  std::string name;  // empty when unnamed
  double lower = 0.0;
  double upper = std::numeric_limits<double>::infinity();
  char32_t vtype = kContinuous;
};

struct ConstrInfo {
  ConstrId id;
  std::string name;  // empty when unnamed
  ScalarFunctionType function;
  ScalarSetType set;
};

}  // namespace kest
