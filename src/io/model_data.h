#pragma once
// A whole model in the cache's own batch form, as a file or a saved state
// yields it before it goes into a fresh cache; and the read-only view of a
// cached model that the writers stream out.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/affine.h"
#include "core/ids.h"
#include "solver_api/columns.h"

namespace kest {

struct ModelData {
  std::string name;
  VariableBatch variables;
  ConstraintBatch constraints;
  NameRun constraint_names;  // count == constraints.size()
  ScalarAffineFn objective;  // simplified: ascending variables, no zeros
  OptimizationSense sense = OptimizationSense::Minimize;
  bool has_objective = false;
};

/// What a cached model shows a writer. The columns hold shares of (or views
/// into) the cache, so the model's lock is held while a view is in use.
struct ModelView {
  std::string_view name;
  VariableColumns variables;
  ConstraintColumns constraints;
  const ScalarAffineFn* objective = nullptr;  // null: no objective
  OptimizationSense sense = OptimizationSense::Minimize;
};

/// Why reading or writing a file failed. `io` errors come from the system
/// (errno in `code`); the others from what the file says.
struct FileError {
  bool io = false;
  int code = 0;
  std::string message;  // "path:line: problem" for format errors
};

}  // namespace kest
