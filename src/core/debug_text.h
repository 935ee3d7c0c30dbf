#pragma once
// The debug texts of the core types. They are user-visible: a LinExpr prints
// as its function's text and RuntimeError messages carry a KestError's.
#include <string>
#include <string_view>

#include "core/affine.h"
#include "core/attributes.h"
#include "core/errors.h"
#include "core/function.h"
#include "core/ids.h"
#include "core/records.h"
#include "core/sets.h"

namespace kest {

/// Shortest round-trip digits, at least one digit after the point, exponent
/// form at magnitude >= 1e16 or non-zero below 1e-4; inf, -inf, NaN, -0.0.
void append_float(std::string& out, double v);
/// Double-quoted with backslash escapes for quotes, backslashes and controls.
void append_quoted(std::string& out, std::string_view s);

void append_debug(std::string& out, VarId v);
void append_debug(std::string& out, const AffineTerm& t);
void append_debug(std::string& out, const ScalarAffineFn& f);
void append_debug(std::string& out, const ScalarFunctionType& f);
void append_debug(std::string& out, const ScalarSetType& s);
void append_debug(std::string& out, OptimizationSense s);
void append_debug(std::string& out, ModelAttr a);
void append_debug(std::string& out, const OptimizerAttr& a);
void append_debug(std::string& out, const AttrValue& v);
void append_debug(std::string& out, const KestError& e);
void append_debug(std::string& out, const VarInfo& v);

template <class T>
std::string debug_text(const T& value) {
  std::string out;
  append_debug(out, value);
  return out;
}

inline std::string float_text(double v) {
  std::string out;
  append_float(out, v);
  return out;
}

}  // namespace kest
