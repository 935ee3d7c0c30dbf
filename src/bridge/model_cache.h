#pragma once
// The model cache's storage: variables as columns, constraints as rows in
// contiguous arrays (compressed rows), names as compact runs. Identifiers are
// dense from 0 and append-only, so an id is a position in these arrays.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/names.h"
#include "core/records.h"
#include "solver_api/columns.h"

namespace kest {

/// A growable array that can hand out shares of itself: while a share is
/// held elsewhere the array is copied before it changes, so what was shared
/// stays as it was. Only the cache's owner changes it, under the model's lock,
/// and shares are made under that lock too, so a share count of one means no
/// one else can see the values.
template <class T>
class Column {
 public:
  Column() = default;
  Column(std::initializer_list<T> values) : v_(std::make_shared<Array<T>>(values)), size_(values.size()) {}
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T& operator[](std::size_t i) const { return (*v_)[i]; }
  std::span<const T> span() const { return v_ ? std::span<const T>(v_->data(), size_) : std::span<const T>(); }
  SharedSpan<T> share(std::size_t first, std::size_t count) const {
    return {span().subspan(first, count), v_};
  }
  /// What a backend receives of [first, first + count): a share of the column
  /// when the range starts at its beginning (a replay, a first batch), else a
  /// copy of just the range. While a backend keeps a share, the next append
  /// copies the whole column; batches handed out one by one as shares would
  /// so cost time and memory quadratic in the model's size.
  SharedSpan<T> hand_out(std::size_t first, std::size_t count) const {
    if (first == 0) return share(first, count);
    const auto range = span().subspan(first, count);
    auto copy = std::make_shared<Array<T>>(range.begin(), range.end());
    return {std::span<const T>(copy->data(), count), std::move(copy)};
  }
  /// Makes the column its own (copying it if shared) with room for `more`
  /// entries, growing geometrically. The appends of up to `more` entries after
  /// it allocate nothing, so a failed allocation leaves the column unchanged.
  void reserve_more(std::size_t more) {
    auto& v = own();
    const std::size_t need = v.size() + more;
    if (need > v.capacity()) v.reserve(std::max(need, v.capacity() + v.capacity() / 2));
  }
  void push_back(const T& value) {
    own().push_back(value);
    size_ = v_->size();
  }
  /// Appends `count` entries, entry i being f(i).
  template <class F>
  void append_generated(std::size_t count, F&& f) {
    auto& v = own();
    for (std::size_t i = 0; i < count; ++i) v.push_back(f(i));
    size_ = v.size();
  }
  /// Appends `count` entries that write(std::span<T>) fills in place.
  template <class Write>
  void append_written(std::size_t count, Write&& write) {
    own().append_written(count, std::forward<Write>(write));
    size_ = v_->size();
  }
  void append(std::span<const T> values) {
    auto& v = own();
    v.insert(v.end(), values.begin(), values.end());
    size_ = v.size();
  }
  /// Takes over `values` when empty and not shared, else appends them.
  void adopt(Array<T>&& values) {
    if (v_ && size_ == 0 && v_.use_count() == 1) {
      *v_ = std::move(values);  // the allocator is stateless: nothing allocated
      size_ = v_->size();
      return;
    }
    if (!v_) {
      v_ = std::make_shared<Array<T>>(std::move(values));
      size_ = v_->size();
      return;
    }
    append(values);
  }
  /// Whether `share` holds exactly `values`, no more.
  static bool covers(std::span<const T> values, const std::shared_ptr<Array<T>>& share) noexcept {
    return share && !values.empty() && share->data() == values.data() && share->size() == values.size();
  }
  /// Whether take_share(share) may replace appending `values`: the column is
  /// empty and `share` holds exactly those values.
  bool can_take(std::span<const T> values, const std::shared_ptr<Array<T>>& share) const noexcept {
    return size_ == 0 && covers(values, share);
  }
  /// Keeps `share` as the whole column (can_take() holds): no copy, and the
  /// column copies it before its first change while its owner still holds it.
  void take_share(std::shared_ptr<Array<T>> share) noexcept { assign(std::move(share)); }
  /// Sets entry i (below size()), making the column its own first.
  void set(std::size_t i, const T& value) { own()[i] = value; }
  /// Replaces the whole content; shares handed out keep the old one.
  void assign(std::shared_ptr<Array<T>> values) noexcept {
    v_ = std::move(values);
    size_ = v_->size();
  }
  /// Drops the entries from `count` on; allocates nothing. While a share is
  /// held elsewhere the array is left as it is (the share keeps seeing its
  /// values) and only the column's length shrinks; the next change makes the
  /// column its own again.
  void truncate(std::size_t count) noexcept {
    if (count >= size_) return;
    size_ = count;
    if (v_.use_count() == 1) v_->erase(v_->begin() + static_cast<std::ptrdiff_t>(count), v_->end());
  }

 private:
  Array<T>& own() {
    if (!v_) {
      v_ = std::make_shared<Array<T>>();
    } else if (v_.use_count() > 1) {
      v_ = std::make_shared<Array<T>>(v_->begin(), v_->begin() + static_cast<std::ptrdiff_t>(size_));
    } else if (v_->size() > size_) {
      // Truncated while shared, the share since let go: drop the tail in place.
      v_->erase(v_->begin() + static_cast<std::ptrdiff_t>(size_), v_->end());
    }
    return *v_;
  }
  std::shared_ptr<Array<T>> v_;
  std::size_t size_ = 0;
};

class VariableTable {
 public:
  std::uint64_t size() const { return lowers_.size(); }
  /// Appends one variable; the name as given (empty: unnamed).
  void push(std::string_view name, char32_t type, double lower, double upper);
  /// Appends a block, its values written into the columns. Either whole or,
  /// when an allocation fails, not at all (as push).
  void append(VariableBlock&& block);
  /// Appends a batch, consuming it: a first one becomes the columns, a later
  /// one is copied in. Whole or not at all, as a block.
  void append(VariableBatch&& batch);
  /// Drops the variables from `count` on (undoing the latest additions).
  void truncate(std::uint64_t count);
  VarInfo info(VarId id) const;
  /// A view of [first, first + count); its names stay valid on their own.
  VariableColumns columns(std::uint64_t first, std::uint64_t count);

  double lower(std::uint64_t id) const { return lowers_[static_cast<std::size_t>(id)]; }
  double upper(std::uint64_t id) const { return uppers_[static_cast<std::size_t>(id)]; }
  char32_t type(std::uint64_t id) const { return types_[static_cast<std::size_t>(id)]; }
  std::string name(std::uint64_t id) const { return names_.at(id); }

  // Changes of stored variables; ids below size(), checked by the caller.
  void set_bounds(std::uint64_t id, double lower, double upper);
  void set_type(std::uint64_t id, char32_t type) { types_[static_cast<std::size_t>(id)] = type; }
  void rename(std::span<const std::uint64_t> ids, std::span<const std::string> names) { names_.rename(ids, names); }
  /// A MIP start value; NaN takes it away. The starts take no room until the first.
  void set_start(std::uint64_t id, double value);
  double start(std::uint64_t id) const;
  /// One entry per variable (NaN: none), or empty when none was ever given.
  std::span<const double> starts() const { return starts_; }
  /// The names of [first, first + count).
  NameSlice names(std::uint64_t first, std::uint64_t count) { return names_.slice(first, count); }

 private:
  Column<double> lowers_;
  Column<double> uppers_;
  Array<char32_t> types_;
  NameStore names_;
  std::vector<double> starts_;
};

class ConstraintTable {
 public:
  std::uint64_t size() const { return constants_.size(); }
  std::uint64_t terms() const { return static_cast<std::uint64_t>(static_cast<std::int64_t>(vars_.size()) + edited_terms_); }
  /// Appends one constraint. Throws Fault for a variable index beyond 32 bits.
  void push(const ScalarFunctionType& function, const ScalarSetType& set, std::string_view name);
  /// Appends a batch with its names (names.count == batch.size()); whole or,
  /// when an allocation fails, not at all (as push).
  void append(const ConstraintRows& batch, NameRun&& names);
  /// Drops the constraints from `count` on (undoing the latest additions).
  void truncate(std::uint64_t count);
  ConstrInfo info(ConstrId id) const;
  ConstraintColumns columns(std::uint64_t first, std::uint64_t count);

  // Changes of stored rows; rows below size() and variables below 2**32,
  // checked by the caller.
  void set_set(std::uint64_t row, const ScalarSetType& set);
  ScalarSetType set(std::uint64_t row) const;
  std::string name(std::uint64_t row) const { return names_.at(row); }
  double constant(std::uint64_t row) const { return constants_[static_cast<std::size_t>(row)]; }
  /// The coefficient of `var` in `row`, repeats summed; 0 when absent.
  double coefficient(std::uint64_t row, std::uint32_t var) const;
  /// Makes `value` the coefficient of `var` in `row`; 0 takes the term out.
  /// In place when the row holds the variable once and value is not 0, else
  /// noted in a side table that the next view of the rows folds in.
  void set_coefficient(std::uint64_t row, std::uint32_t var, double value);
  void rename(std::span<const std::uint64_t> ids, std::span<const std::string> names) { names_.rename(ids, names); }
  NameSlice names(std::uint64_t first, std::uint64_t count) { return names_.slice(first, count); }

 private:
  /// Rebuilds the compressed rows with the side table's terms in them.
  void fold();
  /// Where `row`'s terms lie in vars_/coeffs_.
  std::pair<std::size_t, std::size_t> row_terms(std::uint64_t row) const {
    return {static_cast<std::size_t>(starts_[static_cast<std::size_t>(row)]),
            static_cast<std::size_t>(starts_[static_cast<std::size_t>(row) + 1])};
  }

  Column<std::uint64_t> starts_{0};
  Column<std::uint32_t> vars_;
  Column<double> coeffs_;
  Column<double> constants_;
  Array<std::uint8_t> kinds_;
  Column<double> bounds_;
  std::vector<std::pair<std::uint64_t, double>> interval_uppers_;  // (row, upper), rows ascending
  NameStore names_;
  // Terms the compressed rows cannot take in place: (row, var) -> coefficient
  // replacing every occurrence of var in row (0: none). terms() counts them.
  std::map<std::pair<std::uint64_t, std::uint32_t>, double> edits_;
  std::int64_t edited_terms_ = 0;  // terms after folding less terms stored
};

}  // namespace kest
