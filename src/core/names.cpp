#include "core/names.h"

#include <algorithm>
#include <charconv>
#include <new>

#include "core/fault.h"

namespace kest {

namespace {

void append_u64(std::string& out, std::uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace

void append_block_name(std::string& out, std::string_view prefix, std::span<const std::uint64_t> shape,
                       std::uint64_t position, std::span<const std::vector<std::string>> labels) {
  // Row-major: the last index varies fastest.
  std::uint64_t index[8];
  std::vector<std::uint64_t> many;
  std::uint64_t* idx = index;
  if (shape.size() > 8) {
    many.resize(shape.size());
    idx = many.data();
  }
  for (std::size_t d = shape.size(); d-- > 0;) {
    idx[d] = position % shape[d];
    position /= shape[d];
  }
  out += prefix;
  out += '[';
  for (std::size_t d = 0; d < shape.size(); ++d) {
    if (d > 0) out += ',';
    if (d < labels.size() && !labels[d].empty())
      out += labels[d][static_cast<std::size_t>(idx[d])];
    else
      append_u64(out, idx[d]);
  }
  out += ']';
}

void NameRun::append(std::string& out, std::uint64_t k) const {
  switch (kind) {
    case Kind::Unnamed:
      return;
    case Kind::Texts: {
      const std::uint64_t begin = k == 0 ? 0 : ends[k - 1];
      out.append(arena, begin, ends[k] - begin);
      return;
    }
    case Kind::Underscore:
      out += prefix;
      out += '_';
      append_u64(out, k);
      return;
    case Kind::Block:
      append_block_name(out, prefix, shape, k, labels);
      return;
  }
}

bool NameRun::any_named(std::uint64_t first, std::uint64_t n) const {
  if (n == 0) return false;
  switch (kind) {
    case Kind::Unnamed:
      return false;
    case Kind::Texts: {
      const std::uint64_t begin = first == 0 ? 0 : ends[first - 1];
      return ends[first + n - 1] > begin;
    }
    default:
      return true;
  }
}

std::pair<const NameRun*, std::uint64_t> NameSlice::locate(std::uint64_t i) const {
  if (i >= count_) throw Fault("name position out of range");
  const std::uint64_t id = first_ + i;
  const auto it = std::upper_bound(starts_.begin(), starts_.end(), id);
  const auto r = static_cast<std::size_t>(it - starts_.begin()) - 1;
  return {runs_[r].get(), id - starts_[r]};
}

void NameSlice::append(std::string& out, std::uint64_t i) const {
  if (renames_) {
    if (auto it = renames_->find(first_ + i); it != renames_->end() && i < count_) {
      out += it->second;
      return;
    }
  }
  auto [run, k] = locate(i);
  run->append(out, k);
}

std::string NameSlice::at(std::uint64_t i) const {
  std::string out;
  append(out, i);
  return out;
}

bool NameSlice::any_named() const {
  const std::uint64_t end = first_ + count_;
  if (renames_) {
    for (auto it = renames_->lower_bound(first_); it != renames_->end() && it->first < end; ++it)
      if (!it->second.empty()) return true;
  }
  for (std::size_t r = 0; r < runs_.size(); ++r) {
    const std::uint64_t lo = std::max(first_, starts_[r]);
    const std::uint64_t hi = std::min(end, starts_[r] + runs_[r]->count);
    if (lo < hi && runs_[r]->any_named(lo - starts_[r], hi - lo)) return true;
  }
  return false;
}

void NameStore::push(std::string_view name) {
  // Every allocation comes before the first change, so a failed one leaves
  // the store as it was.
  if (open_.kind == NameRun::Kind::Unnamed) {
    if (name.empty()) {
      ++open_.count;
      return;
    }
    // Unnamed items before the first text keep costing nothing.
    NameRun texts;
    texts.kind = NameRun::Kind::Texts;
    texts.arena.assign(name);
    texts.ends.push_back(texts.arena.size());
    texts.count = 1;
    seal();
    open_ = std::move(texts);
    return;
  }
  open_.ends.reserve(open_.ends.size() + 1);
  open_.arena.append(name);
  open_.ends.push_back(open_.arena.size());
  ++open_.count;
}

void NameStore::seal() {
  if (open_.count == 0) {
    open_ = NameRun{};
    return;
  }
  runs_.reserve(runs_.size() + 1);
  run_starts_.reserve(run_starts_.size() + 1);
  try {
    open_.arena.shrink_to_fit();
    open_.ends.shrink_to_fit();
  } catch (const std::bad_alloc&) {
    // Only a saving; the run keeps its slack.
  }
  auto sealed = std::make_shared<const NameRun>(std::move(open_));
  open_ = NameRun{};
  runs_.push_back(std::move(sealed));
  run_starts_.push_back(sealed_count_);
  sealed_count_ += runs_.back()->count;
}

void NameStore::store(NameRun run) {
  if (run.count == 0) return seal();
  // Room for the open run and this one first: a failure then changes nothing.
  runs_.reserve(runs_.size() + 2);
  run_starts_.reserve(run_starts_.size() + 2);
  auto stored = std::make_shared<const NameRun>(std::move(run));
  seal();
  runs_.push_back(std::move(stored));
  run_starts_.push_back(sealed_count_);
  sealed_count_ += runs_.back()->count;
}

void NameStore::truncate(std::uint64_t size) {
  if (size >= this->size()) return;
  if (renames_ && renames_->lower_bound(size) != renames_->end()) {
    // Copied, not erased in place: slices handed out keep what they saw. A
    // failed copy leaves renames of the dropped ids, which no read reaches.
    try {
      auto kept = std::make_shared<Renames>(renames_->begin(), renames_->lower_bound(size));
      renames_ = kept->empty() ? nullptr : std::move(kept);
    } catch (const std::bad_alloc&) {
    }
  }
  if (size >= sealed_count_) {
    const std::uint64_t keep = size - sealed_count_;
    if (open_.kind == NameRun::Kind::Texts) {
      open_.ends.resize(static_cast<std::size_t>(keep));
      open_.arena.resize(open_.ends.empty() ? 0 : static_cast<std::size_t>(open_.ends.back()));
    }
    open_.count = keep;
    return;
  }
  open_ = NameRun{};
  while (!runs_.empty() && run_starts_.back() >= size) {
    sealed_count_ = run_starts_.back();
    runs_.pop_back();
    run_starts_.pop_back();
  }
  if (sealed_count_ > size) {
    // The cut falls inside a run: what stays of it becomes the open run.
    const NameRun& last = *runs_.back();
    const std::uint64_t keep = size - run_starts_.back();
    NameRun head;
    head.kind = last.kind == NameRun::Kind::Unnamed ? NameRun::Kind::Unnamed : NameRun::Kind::Texts;
    for (std::uint64_t k = 0; k < keep && head.kind == NameRun::Kind::Texts; ++k) {
      last.append(head.arena, k);
      head.ends.push_back(head.arena.size());
    }
    head.count = keep;
    sealed_count_ = run_starts_.back();
    runs_.pop_back();
    run_starts_.pop_back();
    open_ = std::move(head);
  }
}

void NameStore::push_unnamed(std::uint64_t count) {
  if (open_.kind == NameRun::Kind::Unnamed) {
    open_.count += count;
    return;
  }
  NameRun run;
  run.count = count;
  store(std::move(run));
}

void NameStore::push_underscore(std::string_view prefix, std::uint64_t count) {
  if (prefix.empty()) return push_unnamed(count);
  NameRun run;
  run.kind = NameRun::Kind::Underscore;
  run.count = count;
  run.prefix = prefix;
  store(std::move(run));
}

void NameStore::push_block(std::string_view prefix, std::vector<std::uint64_t> shape) {
  NameRun run;
  run.kind = NameRun::Kind::Block;
  run.count = 1;
  for (auto e : shape) run.count *= e;
  run.prefix = prefix;
  run.shape = std::move(shape);
  store(std::move(run));
}

void NameStore::push_texts(std::span<const std::string> names) {
  if (std::all_of(names.begin(), names.end(), [](const std::string& s) { return s.empty(); }))
    return push_unnamed(names.size());
  NameRun run;
  run.kind = NameRun::Kind::Texts;
  run.count = names.size();
  std::size_t total = 0;
  for (const auto& s : names) total += s.size();
  run.arena.reserve(total);
  run.ends.reserve(names.size());
  for (const auto& s : names) {
    run.arena += s;
    run.ends.push_back(run.arena.size());
  }
  store(std::move(run));
}

void NameStore::push_run(NameRun run) {
  if (run.kind == NameRun::Kind::Unnamed || (run.kind == NameRun::Kind::Texts && !run.any_named(0, run.count)))
    return push_unnamed(run.count);
  if (run.kind == NameRun::Kind::Underscore && run.prefix.empty()) return push_unnamed(run.count);
  store(std::move(run));
}

void NameStore::rename(std::span<const std::uint64_t> ids, std::span<const std::string> names) {
  auto next = renames_ ? std::make_shared<Renames>(*renames_) : std::make_shared<Renames>();
  for (std::size_t i = 0; i < ids.size(); ++i) (*next)[ids[i]] = names[i];
  renames_ = std::move(next);
}

std::string NameStore::at(std::uint64_t id) const {
  std::string out;
  if (renames_) {
    if (auto it = renames_->find(id); it != renames_->end()) return it->second;
  }
  if (id >= sealed_count_) {
    open_.append(out, id - sealed_count_);
    return out;
  }
  const auto it = std::upper_bound(run_starts_.begin(), run_starts_.end(), id);
  const auto r = static_cast<std::size_t>(it - run_starts_.begin()) - 1;
  runs_[r]->append(out, id - run_starts_[r]);
  return out;
}

NameSlice NameStore::slice(std::uint64_t first, std::uint64_t count) {
  seal();
  NameSlice s;
  s.first_ = first;
  s.count_ = count;
  s.renames_ = renames_;
  if (count == 0) return s;
  auto lo = std::upper_bound(run_starts_.begin(), run_starts_.end(), first) - 1;
  auto hi = std::lower_bound(run_starts_.begin(), run_starts_.end(), first + count);
  for (auto it = lo; it != hi; ++it) {
    const auto r = static_cast<std::size_t>(it - run_starts_.begin());
    s.runs_.push_back(runs_[r]);
    s.starts_.push_back(*it);
  }
  return s;
}

}  // namespace kest
