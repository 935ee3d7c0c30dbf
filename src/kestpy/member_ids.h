#pragma once
// The ids of a block's members as one view, whichever form the block keeps
// them in: a block made by addVars holds consecutive ids and keeps only the
// first and their count; any other keeps a table of them.
#include <cstddef>
#include <span>
#include <vector>

#include "core/ids.h"

namespace kestpy {

class MemberIds {
 public:
  MemberIds() = default;
  /// The run first, first + 1, ..., first + count - 1.
  MemberIds(kest::VarId first, std::size_t count) : first_(first), count_(count) {}
  /// The ids in `table`, which outlives the view.
  explicit MemberIds(std::span<const kest::VarId> table) : table_(table.data()), count_(table.size()) {}

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  /// Whether the ids are the run from front(), kept as no table.
  bool is_run() const { return table_ == nullptr; }
  kest::VarId front() const { return (*this)[0]; }
  kest::VarId operator[](std::size_t p) const { return table_ ? table_[p] : kest::VarId{first_.index + p}; }
  /// The first n ids (n at most size()).
  MemberIds first(std::size_t n) const {
    MemberIds out = *this;
    out.count_ = n;
    return out;
  }
  /// The ids as a span, for a callee that takes one: a table as it is, a run
  /// written out into `scratch`.
  std::span<const kest::VarId> span(std::vector<kest::VarId>& scratch) const {
    if (table_) return {table_, count_};
    scratch.resize(count_);
    for (std::size_t p = 0; p < count_; ++p) scratch[p] = kest::VarId{first_.index + p};
    return scratch;
  }

 private:
  kest::VarId first_{};
  const kest::VarId* table_ = nullptr;  // null: the run from first_
  std::size_t count_ = 0;
};

}  // namespace kestpy
