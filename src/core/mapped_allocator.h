#pragma once
// The allocator of the model's large arrays. An array of a megabyte or more
// gets pages of its own from the system and gives them back when it goes, so
// that building and replaying a large model leaves no freed blocks scattered
// over the heap (the general allocator keeps such blocks resident, raising the
// process's peak for the rest of its life).
#include <sys/mman.h>

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace kest {

template <class T>
struct MappedAllocator {
  using value_type = T;
  static constexpr std::size_t kMapFrom = std::size_t{1} << 20;

  MappedAllocator() noexcept = default;
  template <class U>
  MappedAllocator(const MappedAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMapFrom) return std::allocator<T>().allocate(n);
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMapFrom)
      std::allocator<T>().deallocate(p, n);
    else
      munmap(p, bytes);
  }
  template <class U>
  bool operator==(const MappedAllocator<U>&) const noexcept { return true; }
};

/// A growable array of the model's data path.
template <class T>
using Array = std::vector<T, MappedAllocator<T>>;

}  // namespace kest
