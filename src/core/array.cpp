#include "core/array.h"

#include <sys/mman.h>

#include <array>
#include <cstdlib>
#include <cstring>

namespace kest {

namespace {

// A mapping starts with a header holding its length, so that a kept mapping
// can serve any array that fits, whatever the length it was made for. The
// header keeps the array 64-byte aligned.
constexpr std::size_t kHeader = 64;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugeFrom = std::size_t{2} << 20;

// At most this many mappings and bytes are kept per thread. A kept mapping is
// taken for an array needing at least half of it.
constexpr std::size_t kKeptCount = 8;
constexpr std::size_t kKeptBytes = std::size_t{256} << 20;

struct Kept {
  std::array<void*, kKeptCount> bases{};
  std::size_t count = 0;
  std::size_t bytes = 0;

  ~Kept() { release(); }
  void release() noexcept {
    for (std::size_t i = 0; i < count; ++i) munmap(bases[i], length(bases[i]));
    count = 0;
    bytes = 0;
  }
  static std::size_t length(void* base) { return *static_cast<std::size_t*>(base); }
  void drop(std::size_t i) noexcept {
    bytes -= length(bases[i]);
    bases[i] = bases[--count];
  }
};

thread_local Kept kept;

}  // namespace

namespace mapped {

namespace {

std::size_t rounded(std::size_t bytes) { return (bytes + kHeader + kPage - 1) / kPage * kPage; }

/// A mapping with room for `bytes` after its header: the smallest kept one
/// that fits and is not more than twice the need, else a fresh one.
void* map(std::size_t bytes) {
  const std::size_t need = bytes + kHeader;
  std::size_t best = kept.count;
  for (std::size_t i = 0; i < kept.count; ++i) {
    const std::size_t len = Kept::length(kept.bases[i]);
    if (len >= need && len / 2 <= need && (best == kept.count || len < Kept::length(kept.bases[best]))) best = i;
  }
  void* base;
  if (best < kept.count) {
    base = kept.bases[best];
    kept.drop(best);
  } else {
    const std::size_t len = rounded(bytes);
    base = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    // Kept mappings never make an allocation fail.
    if (base == MAP_FAILED && kept.count) {
      kept.release();
      base = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    if (base == MAP_FAILED) throw std::bad_alloc();
    // Huge pages where the system offers them: one fault per 2 MiB instead
    // of one per 4 KiB.
    if (len >= kHugeFrom) madvise(base, len, MADV_HUGEPAGE);
    *static_cast<std::size_t*>(base) = len;
  }
  return static_cast<char*>(base) + kHeader;
}

void unmap(void* p) noexcept {
  void* base = static_cast<char*>(p) - kHeader;
  const std::size_t len = Kept::length(base);
  if (len > kKeptBytes) {
    munmap(base, len);
    return;
  }
  // Make room by giving back the largest kept mappings first.
  while (kept.count && (kept.count == kKeptCount || kept.bytes + len > kKeptBytes)) {
    std::size_t largest = 0;
    for (std::size_t i = 1; i < kept.count; ++i)
      if (Kept::length(kept.bases[i]) > Kept::length(kept.bases[largest])) largest = i;
    void* gone = kept.bases[largest];
    const std::size_t gone_len = Kept::length(gone);
    kept.drop(largest);
    munmap(gone, gone_len);
  }
  kept.bases[kept.count++] = base;
  kept.bytes += len;
}

}  // namespace

void* reallocate(void* p, std::size_t used, std::size_t old_capacity, std::size_t capacity) {
  if (capacity < kMapFrom) {
    void* q = std::realloc(p, capacity ? capacity : 1);
    if (!q) throw std::bad_alloc();
    return q;
  }
  if (p && old_capacity >= kMapFrom) {
    // Grow the mapping: its pages move with it, nothing is copied.
    void* base = static_cast<char*>(p) - kHeader;
    const std::size_t len = Kept::length(base);
    if (len >= capacity + kHeader) return p;
    const std::size_t new_len = rounded(capacity);
    void* moved = mremap(base, len, new_len, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED && kept.count) {
      kept.release();
      moved = mremap(base, len, new_len, MREMAP_MAYMOVE);
    }
    if (moved == MAP_FAILED) throw std::bad_alloc();
    *static_cast<std::size_t*>(moved) = new_len;
    return static_cast<char*>(moved) + kHeader;
  }
  void* q = map(capacity);
  if (used) std::memcpy(q, p, used);
  std::free(p);
  return q;
}

void deallocate(void* p, std::size_t capacity) noexcept {
  if (capacity < kMapFrom)
    std::free(p);
  else
    unmap(p);
}

}  // namespace mapped

void release_kept_pages() noexcept { kept.release(); }

}  // namespace kest
