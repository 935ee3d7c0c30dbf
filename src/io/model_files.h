#pragma once
// Model files: free MPS and CPLEX-style LP, written from a cached model and
// read into a whole ModelData. Failures are values naming the file (and, for
// what a file says, its line and the problem); a file that fails to read
// leaves `out` to be thrown away, never half applied to a model.
#include <optional>
#include <string>
#include <string_view>

#include "io/model_data.h"

namespace kest::io {

enum class FileFormat : std::uint8_t { Mps, Lp };

/// The format a path names by its suffix (.mps, .lp, either with .gz),
/// ignoring case; nullopt for any other.
std::optional<FileFormat> format_of(std::string_view path);

std::optional<FileError> write_mps(const std::string& path, const ModelView& model);
std::optional<FileError> write_lp(const std::string& path, const ModelView& model);
/// Free or fixed MPS (the layout is found from the file).
std::optional<FileError> read_mps(const std::string& path, ModelData& out);
std::optional<FileError> read_lp(const std::string& path, ModelData& out);

std::optional<FileError> write_model_file(const std::string& path, FileFormat format, const ModelView& model);
std::optional<FileError> read_model_file(const std::string& path, FileFormat format, ModelData& out);

/// The objective as one cost per variable of the view (repeats summed) into
/// `cost`; returns its constant.
double dense_objective(const ModelView& model, std::vector<double>& cost);

/// Replaces every interval row (two finite sides) by the row `lower <= f`
/// and, right after it, the row `f <= upper` named as the row with "_up"
/// added; an interval with a missing side becomes the row of the other.
void split_interval_rows(ModelData& model);

/// A row's range in right-hand-side terms (the function's constant moved
/// across): [lower, upper] with infinities for a missing side.
struct RowRange {
  double lower;
  double upper;
  ScalarSetType::Kind kind;
};

/// Walks the rows of a view in order, with the upper bounds of interval rows.
class RowWalker {
 public:
  explicit RowWalker(const ConstraintColumns& rows) : rows_(rows) {}
  RowRange range(std::size_t r);

 private:
  const ConstraintColumns& rows_;
  std::size_t next_upper_ = 0;
};

}  // namespace kest::io
