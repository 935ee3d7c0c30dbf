#include "kestpy/model_tag.h"

#include <string>
#include <unordered_map>

#include "kestpy/errors.h"

namespace kestpy {

namespace {

// Touched only with the interpreter lock held, when a model is made or freed
// and when an error message is written.
ModelTag last_tag = kNoModel;
std::unordered_map<ModelTag, std::string>& names() {
  static auto* live = new std::unordered_map<ModelTag, std::string>();  // outlives every model
  return *live;
}

std::string describe(ModelTag tag) {
  const auto it = names().find(tag);
  if (it == names().end()) return "a model that no longer exists";
  return "model '" + it->second + "'";
}

}  // namespace

ModelTag register_model(std::string_view name) {
  const ModelTag tag = ++last_tag;
  names().emplace(tag, std::string(name));
  return tag;
}

void forget_model(ModelTag tag) noexcept { names().erase(tag); }

void raise_mixed_models(ModelTag a, ModelTag b) {
  const std::string da = describe(a), db = describe(b);
  // Two models of one name are still told apart.
  raise(PyExc_ValueError,
        "An expression cannot hold variables of " + da + " and of " + (da == db ? "another " : "") + db);
}

void require_model(ModelTag owner, ModelTag got, const char* where, const char* what) {
  if (got == owner || got == kNoModel) [[likely]]
    return;
  const std::string theirs = describe(got), ours = describe(owner);
  const std::string self = theirs == ours ? "this model (also named '" + names()[owner] + "')" : "this " + ours;
  raise(PyExc_ValueError, std::string(where) + ": " + what + " holds variables of " + theirs + ", not of " + self);
}

}  // namespace kestpy
