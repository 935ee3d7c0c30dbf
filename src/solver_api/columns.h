#pragma once
// Whole batches of variables and constraints in columnar form: the shape in
// which the cache stores a model and hands it to a backend in one call.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/function.h"
#include "core/array.h"
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

/// A variable's index as rows and the objective store it (32 bits); throws
/// Fault beyond that, naming the subject ("A constraint", "The objective").
std::uint32_t narrow_var(VarId v, std::string_view subject = "A constraint");

/// The storage behind some of a ConstraintRows' views, where a view is the
/// whole of an array its owner will not change: the cache keeps such an array
/// instead of copying it when it is the first of its column.
struct RowShares {
  std::shared_ptr<Array<std::uint64_t>> starts;
  std::shared_ptr<Array<std::uint32_t>> vars;
  std::shared_ptr<Array<double>> coeffs;
  std::shared_ptr<Array<double>> constants;
  std::shared_ptr<Array<double>> bounds;
};

/// Constraints ready to be stored, as views of arrays their owner keeps: row
/// r holds the terms [starts[r] - starts[0], starts[r + 1] - starts[0]) of vars
/// and coeffs.
struct ConstraintRows {
  std::span<const std::uint64_t> starts;  // size() + 1 offsets
  std::span<const std::uint32_t> vars;
  std::span<const double> coeffs;
  std::span<const double> constants;
  std::span<const std::uint8_t> kinds;  // RowKind
  std::span<const double> bounds;       // the set's value (an Interval's lower bound)
  std::span<const double> uppers;       // one per Interval row, in row order
  RowShares shares;                     // optional

  std::size_t size() const { return constants.size(); }
};

/// Constraints built by the caller, ready to be stored: row r holds the terms
/// [starts[r], starts[r + 1]) of vars and coeffs.
struct ConstraintBatch {
  SharedArray<std::uint64_t> starts{0};
  SharedArray<std::uint32_t> vars;
  SharedArray<double> coeffs;
  SharedArray<double> constants;
  Array<std::uint8_t> kinds;  // RowKind
  SharedArray<double> bounds; // the set's value (an Interval's lower bound)
  Array<double> uppers;       // one per Interval row, in row order

  std::size_t size() const { return constants.size(); }
  /// The batch as the cache takes it, its arrays shared: a first batch becomes
  /// the cache's columns without a copy.
  operator ConstraintRows() const {
    return {starts, vars, coeffs, constants, kinds, bounds, uppers,
            {starts.share(), vars.share(), coeffs.share(), constants.share(), bounds.share()}};
  }
  /// Appends one constraint. Throws Fault for a variable index beyond 32 bits.
  void push(const ScalarFunctionType& function, const ScalarSetType& set);
  void reserve(std::size_t rows, std::size_t terms);
};

/// Variables built by the caller, ready to be stored: one entry per variable.
struct VariableBatch {
  Array<double> lowers;
  Array<double> uppers;
  Array<char32_t> types;
  NameRun names;  // names.count == lowers.size()
  std::size_t size() const { return lowers.size(); }
};

/// One column of new variables as their caller gives it: one value for all
/// of them, or a writer that fills the column's new entries in place, in order.
template <class T>
struct ColumnValues {
  T value{};
  std::function<void(std::span<T>)> write;  // when set: fills all of its span and does not fail

  void fill(std::span<T> out) const {
    if (write)
      write(out);
    else
      std::fill(out.begin(), out.end(), value);
  }
};

/// Variables described rather than built: the cache makes room for them and
/// has each column's values written straight into its own storage, so that
/// a block's values are written once, into the pages that keep them.
struct VariableBlock {
  std::size_t count = 0;
  ColumnValues<double> lowers;
  ColumnValues<double> uppers;
  ColumnValues<char32_t> types;
  NameRun names;  // names.count == count
};

/// A span of stored values with a share of the storage it lies in: holding
/// the share keeps the values as they are (the cache copies a column before
/// changing it while it is shared), so a consumer may keep them without a copy.
template <class T>
struct SharedSpan {
  std::span<const T> values;
  std::shared_ptr<const void> owner;
  std::size_t size() const { return values.size(); }
  const T& operator[](std::size_t i) const { return values[i]; }
};

/// A view of stored variables [first, first + size()).
struct VariableColumns {
  std::uint64_t first = 0;
  SharedSpan<double> lowers;
  SharedSpan<double> uppers;
  std::span<const char32_t> types;
  NameSlice names;
  std::size_t size() const { return lowers.size(); }
};

/// A view of stored constraints [first, first + size()). starts holds size()+1
/// offsets into the cache's term arrays; vars and coeffs view exactly the
/// batch's terms, so row r's terms are [starts[r] - starts[0], starts[r+1] - starts[0]).
struct ConstraintColumns {
  std::uint64_t first = 0;
  std::span<const std::uint64_t> starts;
  SharedSpan<std::uint32_t> vars;
  SharedSpan<double> coeffs;
  SharedSpan<double> constants;
  std::span<const std::uint8_t> kinds;
  SharedSpan<double> bounds;
  // The upper bound of an Interval row, looked up by row position.
  const std::vector<std::pair<std::uint64_t, double>>* interval_uppers = nullptr;
  NameSlice names;

  std::size_t size() const { return constants.size(); }
  std::size_t terms() const { return static_cast<std::size_t>(starts.back() - starts.front()); }
  ScalarSetType set(std::size_t r) const;
  ScalarFunctionType function(std::size_t r) const;
};

/// A view of the cached objective: a single variable, or terms in the order
/// they were given (vars[k] with coeffs[k]) plus the constant. The shares keep
/// the terms as they are, so a consumer may keep them without a copy.
struct ObjectiveColumns {
  bool single = false;  // the function is vars[0] itself
  SharedSpan<std::uint32_t> vars;
  SharedSpan<double> coeffs;
  double constant = 0.0;
  /// The function in the core's form (a copy of the terms).
  ScalarFunctionType function() const;
};

}  // namespace kest
