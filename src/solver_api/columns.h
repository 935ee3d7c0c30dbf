#pragma once
// Whole batches of variables and constraints in columnar form: the shape in
// which the cache stores a model and hands it to a backend in one call.
#include <cstdint>
#include <span>
#include <vector>

#include "core/function.h"
#include "core/names.h"
#include "core/sets.h"

namespace kest {

/// A constraint's set kind and function kind in one byte, as rows store them.
struct RowKind {
  static constexpr std::uint8_t kSetMask = 0x03;    // ScalarSetType::Kind
  static constexpr std::uint8_t kSingle = 0x80;     // the function is a SingleVariable
  static std::uint8_t of(const ScalarSetType& set, bool single) {
    return static_cast<std::uint8_t>(static_cast<std::uint8_t>(set.kind) | (single ? kSingle : 0));
  }
  static ScalarSetType::Kind set_kind(std::uint8_t k) { return static_cast<ScalarSetType::Kind>(k & kSetMask); }
};

/// Constraints built by the caller, ready to be stored: row r holds the terms
/// [starts[r], starts[r + 1]) of vars and coeffs.
struct ConstraintBatch {
  std::vector<std::uint64_t> starts{0};
  std::vector<std::uint32_t> vars;
  std::vector<double> coeffs;
  std::vector<double> constants;
  std::vector<std::uint8_t> kinds;  // RowKind
  std::vector<double> bounds;       // the set's value (an Interval's lower bound)
  std::vector<double> uppers;       // one per Interval row, in row order

  std::size_t size() const { return constants.size(); }
  /// Appends one constraint. Throws Fault for a variable index beyond 32 bits.
  void push(const ScalarFunctionType& function, const ScalarSetType& set);
  void reserve(std::size_t rows, std::size_t terms);
};

/// Variables built by the caller, ready to be stored: one entry per variable.
struct VariableBatch {
  std::vector<double> lowers;
  std::vector<double> uppers;
  std::vector<char32_t> types;
  NameRun names;  // names.count == lowers.size()
  std::size_t size() const { return lowers.size(); }
};

/// A view of stored variables [first, first + size()).
struct VariableColumns {
  std::uint64_t first = 0;
  std::span<const double> lowers;
  std::span<const double> uppers;
  std::span<const char32_t> types;
  NameSlice names;
  std::size_t size() const { return lowers.size(); }
};

/// A view of stored constraints [first, first + size()). starts holds size()+1
/// offsets into the cache's term arrays, which vars and coeffs view whole.
struct ConstraintColumns {
  std::uint64_t first = 0;
  std::span<const std::uint64_t> starts;
  std::span<const std::uint32_t> vars;
  std::span<const double> coeffs;
  std::span<const double> constants;
  std::span<const std::uint8_t> kinds;
  std::span<const double> bounds;
  // The upper bound of an Interval row, looked up by row position.
  const std::vector<std::pair<std::uint64_t, double>>* interval_uppers = nullptr;
  NameSlice names;

  std::size_t size() const { return constants.size(); }
  std::size_t terms() const { return static_cast<std::size_t>(starts.back() - starts.front()); }
  ScalarSetType set(std::size_t r) const;
  ScalarFunctionType function(std::size_t r) const;
};

}  // namespace kest
