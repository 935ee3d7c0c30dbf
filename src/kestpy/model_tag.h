#pragma once
// Which model the variables of an expression belong to. Every model draws a
// tag from a process-wide counter, so a model allocated where a dead one lived
// never shares its tag; variables, expressions and constraints carry the tag
// as a plain number and keep no reference to the model. Tag 0 is no model: a
// Var built by hand, or a function without variables, joins any model.
#include <cstdint>
#include <string_view>

namespace kestpy {

using ModelTag = std::uint64_t;
inline constexpr ModelTag kNoModel = 0;

/// A fresh tag for a model called `name`; the name is kept for messages until
/// forget_model(tag).
ModelTag register_model(std::string_view name);
void forget_model(ModelTag tag) noexcept;

/// ValueError naming both models.
[[noreturn]] void raise_mixed_models(ModelTag a, ModelTag b);

/// The model of an operation's result. The common case costs one comparison.
inline ModelTag join_models(ModelTag a, ModelTag b) {
  if (a == b || b == kNoModel) [[likely]]
    return a;
  if (a == kNoModel) return b;
  raise_mixed_models(a, b);
}

/// ValueError "<where>: <what> holds variables of model 'a', not of model 'b'"
/// unless a function of model `got` may be given to model `owner`.
void require_model(ModelTag owner, ModelTag got, const char* where, const char* what);

}  // namespace kestpy
