#pragma once
// The allocator of the model's large arrays. An array of a megabyte or more
// gets pages of its own from the system, so that building and replaying a
// large model leaves no freed blocks scattered over the heap (the general
// allocator keeps such blocks resident, raising the process's peak for the
// rest of its life).
//
// Fresh pages cost a fault and a clearing each, which is most of what an
// operation over large arrays costs. So a freed mapping is kept for the next
// large array of the same thread (matrix temporaries come and go one after
// the other), up to a small budget, and every kept mapping is given back by
// release_kept_pages(), which the model calls before a backend copies the
// model, where a process's peak usually is.
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace kest {

namespace mapped {

/// Bytes below which an array lives in the general heap.
inline constexpr std::size_t kMapFrom = std::size_t{1} << 20;

/// A mapping of at least `bytes` usable bytes: a kept one when one fits, else
/// a fresh one. Throws std::bad_alloc.
void* allocate(std::size_t bytes);
/// Gives back a mapping from allocate(): kept for reuse or unmapped.
void deallocate(void* p) noexcept;

}  // namespace mapped

/// Unmaps every mapping kept for reuse by the calling thread.
void release_kept_pages() noexcept;

template <class T>
struct MappedAllocator {
  using value_type = T;
  static constexpr std::size_t kMapFrom = mapped::kMapFrom;

  MappedAllocator() noexcept = default;
  template <class U>
  MappedAllocator(const MappedAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T) / 2) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMapFrom) return std::allocator<T>().allocate(n);
    return static_cast<T*>(mapped::allocate(bytes));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < kMapFrom)
      std::allocator<T>().deallocate(p, n);
    else
      mapped::deallocate(p);
  }
  template <class U>
  bool operator==(const MappedAllocator<U>&) const noexcept { return true; }
};

/// A growable array of the model's data path.
template <class T>
using Array = std::vector<T, MappedAllocator<T>>;

}  // namespace kest
