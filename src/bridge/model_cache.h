#pragma once
// The model cache's storage: variables as columns, constraints as rows in
// contiguous arrays (compressed rows), names as compact runs. Identifiers are
// dense from 0 and append-only, so an id is a position in these arrays.
#include <cstdint>
#include <utility>
#include <vector>

#include "core/names.h"
#include "core/records.h"
#include "solver_api/columns.h"

namespace kest {

class VariableTable {
 public:
  std::uint64_t size() const { return lowers_.size(); }
  /// Appends one variable; the name as given (empty: unnamed).
  void push(std::string_view name, char32_t type, double lower, double upper);
  /// Appends a batch, consuming it. Either whole or, when an allocation fails,
  /// not at all (as push).
  void append(VariableBatch&& batch);
  /// Drops the variables from `count` on (undoing the latest additions).
  void truncate(std::uint64_t count);
  VarInfo info(VarId id) const;
  /// A view of [first, first + count); its names stay valid on their own.
  VariableColumns columns(std::uint64_t first, std::uint64_t count);

 private:
  std::vector<double> lowers_;
  std::vector<double> uppers_;
  std::vector<char32_t> types_;
  NameStore names_;
};

class ConstraintTable {
 public:
  std::uint64_t size() const { return constants_.size(); }
  std::uint64_t terms() const { return vars_.size(); }
  /// Appends one constraint. Throws Fault for a variable index beyond 32 bits.
  void push(const ScalarFunctionType& function, const ScalarSetType& set, std::string_view name);
  /// Appends a batch with its names (names.count == batch.size()); whole or,
  /// when an allocation fails, not at all (as push).
  void append(const ConstraintBatch& batch, NameRun&& names);
  /// Drops the constraints from `count` on (undoing the latest additions).
  void truncate(std::uint64_t count);
  ConstrInfo info(ConstrId id) const;
  ConstraintColumns columns(std::uint64_t first, std::uint64_t count);

 private:
  std::vector<std::uint64_t> starts_{0};
  std::vector<std::uint32_t> vars_;
  std::vector<double> coeffs_;
  std::vector<double> constants_;
  std::vector<std::uint8_t> kinds_;
  std::vector<double> bounds_;
  std::vector<std::pair<std::uint64_t, double>> interval_uppers_;  // (row, upper), rows ascending
  NameStore names_;
  ConstraintBatch one_;  // reused by push
};

}  // namespace kest
