#pragma once
// A cached model as one compact byte string and back: the saved state that
// pickling and copying a Model carry. Numbers travel as their bytes (native
// little-endian doubles and integers), names as one text arena.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/attributes.h"
#include "io/model_data.h"

namespace kest::io {

using Settings = std::vector<std::pair<OptimizerAttr, AttrValue>>;

/// The state of `model`, its settings (in order) and its backend's name.
std::string save_state(const ModelView& model, const Settings& settings, std::string_view backend);

/// Reads a state back; nullopt with `problem` set when the bytes are not one.
struct LoadedState {
  ModelData model;
  Settings settings;
  std::string backend;
};
std::optional<LoadedState> load_state(std::string_view bytes, std::string& problem);

}  // namespace kest::io
