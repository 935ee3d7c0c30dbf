#pragma once
// Names of variables and constraints in compact form. A model names its items
// mostly by rule (a block's prefix[i,j], a batch's prefix_i), so the store
// keeps each batch as a run: the rule itself, or one arena of explicit texts.
// Runs are immutable once stored and shared by pointer, so a slice handed to
// a backend stays valid whatever the store does afterwards.
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kest {

/// Appends prefix[i0,i1,...] for the member at row-major `position` of `shape`
/// (prefix[] when the shape has no dimensions). A dimension with labels shows
/// the label of its index instead of the number.
void append_block_name(std::string& out, std::string_view prefix, std::span<const std::uint64_t> shape,
                       std::uint64_t position, std::span<const std::vector<std::string>> labels = {});

/// A run of consecutive names.
struct NameRun {
  enum class Kind : std::uint8_t {
    Unnamed = 0,     // every name empty
    Texts = 1,       // name k is arena[ends[k-1], ends[k])
    Underscore = 2,  // prefix_k
    Block = 3,       // append_block_name(prefix, shape, k)
  };
  Kind kind = Kind::Unnamed;
  std::uint64_t count = 0;
  std::string prefix;                 // Underscore, Block
  std::vector<std::uint64_t> shape;   // Block
  // Block: per dimension, the text of each index (a keyed block's keys), or
  // nothing where the dimension is numbered. Empty when every one is.
  std::vector<std::vector<std::string>> labels;
  std::string arena;                  // Texts
  std::vector<std::uint64_t> ends;    // Texts, one per name

  /// Appends name k of the run to out.
  void append(std::string& out, std::uint64_t k) const;
  /// Whether a name in [first, first + n) is not empty.
  bool any_named(std::uint64_t first, std::uint64_t n) const;
};

/// Names given later to single items, by id; they take the place of what the
/// runs say. Replaced whole on each change, so a slice keeps the set it saw.
using Renames = std::map<std::uint64_t, std::string>;

/// A read-only window over stored runs; owns shares of them.
class NameSlice {
 public:
  NameSlice() = default;
  std::uint64_t size() const { return count_; }
  std::string at(std::uint64_t i) const;
  void append(std::string& out, std::uint64_t i) const;
  /// Whether some name of the slice is not empty.
  bool any_named() const;

 private:
  friend class NameStore;
  std::vector<std::shared_ptr<const NameRun>> runs_;
  std::vector<std::uint64_t> starts_;  // id of each run's first name
  std::uint64_t first_ = 0;            // id of the slice's first name
  std::uint64_t count_ = 0;
  std::shared_ptr<const Renames> renames_;
  /// The run holding slice position i, and the index inside it.
  std::pair<const NameRun*, std::uint64_t> locate(std::uint64_t i) const;
};

/// The names of every variable (or every constraint) of a model, in id order.
class NameStore {
 public:
  std::uint64_t size() const { return sealed_count_ + open_.count; }

  /// One name; empty means unnamed.
  void push(std::string_view name);
  /// count names by rule or from a list.
  void push_unnamed(std::uint64_t count);
  void push_underscore(std::string_view prefix, std::uint64_t count);
  void push_block(std::string_view prefix, std::vector<std::uint64_t> shape);
  void push_texts(std::span<const std::string> names);
  /// A run built elsewhere (a batch's names).
  void push_run(NameRun run);

  /// Drops the names from `size` on (undoing the latest additions).
  void truncate(std::uint64_t size);
  /// Gives the items `ids` the names `names` (same length); ids below size().
  /// Either all or, when an allocation fails, none.
  void rename(std::span<const std::uint64_t> ids, std::span<const std::string> names);

  std::string at(std::uint64_t id) const;
  /// The names [first, first + count). Seals the run that single pushes grow.
  NameSlice slice(std::uint64_t first, std::uint64_t count);

 private:
  void seal();
  void store(NameRun run);

  std::vector<std::shared_ptr<const NameRun>> runs_;
  std::vector<std::uint64_t> run_starts_;  // id of each run's first name
  std::uint64_t sealed_count_ = 0;
  NameRun open_;  // grown by push(); Unnamed or Texts
  std::shared_ptr<const Renames> renames_;  // null until the first rename
};

}  // namespace kest
