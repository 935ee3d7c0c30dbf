#include "core/mapped_allocator.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>

namespace kest {

namespace {

// A mapping starts with a header holding its length, so that a kept mapping
// can serve any array that fits, whatever the length it was made for. The
// header keeps the array 64-byte aligned.
constexpr std::size_t kHeader = 64;
constexpr std::size_t kPage = 4096;

// At most this many mappings and bytes are kept per thread. A kept mapping is
// taken for an array needing at least half of it.
constexpr std::size_t kKeptCount = 8;
constexpr std::size_t kKeptBytes = std::size_t{512} << 20;

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

void* allocate(std::size_t bytes) {
  const std::size_t need = bytes + kHeader;
  // The smallest kept mapping that fits and is not more than twice the need.
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
    const std::size_t len = (need + kPage - 1) / kPage * kPage;
    base = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    *static_cast<std::size_t*>(base) = len;
  }
  return static_cast<char*>(base) + kHeader;
}

void deallocate(void* p) noexcept {
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

}  // namespace mapped

void release_kept_pages() noexcept { kept.release(); }

}  // namespace kest
