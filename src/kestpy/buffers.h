#pragma once
// What the array channel hands to a backend: arrays that own their memory,
// exposed through the buffer protocol, and a compact read-only sequence of
// names. Neither refers to the model cache, so a backend may keep them.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/names.h"
#include "kestpy/errors.h"

namespace kestpy {

/// Storage of one array; the buffer object keeps it alive.
struct ArrayStorage {
  virtual ~ArrayStorage() = default;
};

template <class T>
struct VectorStorage final : ArrayStorage {
  explicit VectorStorage(std::vector<T> v) : values(std::move(v)) {}
  std::vector<T> values;
};

template <class T>
constexpr const char* buffer_format();
template <> constexpr const char* buffer_format<double>() { return "d"; }
template <> constexpr const char* buffer_format<std::uint8_t>() { return "B"; }
template <> constexpr const char* buffer_format<std::int32_t>() { return "i"; }
template <> constexpr const char* buffer_format<std::int64_t>() { return "q"; }

/// A new object exposing `values` through the buffer protocol (one dimension,
/// C-contiguous); `writable` lets a consumer write into it.
PyRef owned_buffer(std::unique_ptr<ArrayStorage> storage, void* data, std::size_t count, std::size_t itemsize,
                   const char* format, bool writable);

template <class T>
PyRef owned_buffer(std::vector<T> values, bool writable = false) {
  auto storage = std::make_unique<VectorStorage<T>>(std::move(values));
  T* data = storage->values.data();
  const std::size_t n = storage->values.size();
  return owned_buffer(std::move(storage), data, n, sizeof(T), buffer_format<T>(), writable);
}

/// A read-only memoryview over a new owned buffer holding `values`.
template <class T>
PyRef owned_memoryview(std::vector<T> values) {
  PyRef buffer = owned_buffer(std::move(values));
  PyObject* view = PyMemoryView_FromObject(buffer.get());
  if (!view) throw PyErrSet{};
  return PyRef::steal(view);
}

/// Storage that is a share of someone else's array.
struct SharedStorage final : ArrayStorage {
  explicit SharedStorage(std::shared_ptr<const void> o) : owner(std::move(o)) {}
  std::shared_ptr<const void> owner;
};

/// A read-only memoryview of `values` that keeps `owner` alive instead of
/// copying; a copy when there is no owner.
template <class T, class U = T>
PyRef shared_memoryview(std::span<const U> values, std::shared_ptr<const void> owner) {
  static_assert(sizeof(T) == sizeof(U));
  if (!owner) return owned_memoryview(std::vector<T>(values.begin(), values.end()));
  PyRef buffer = owned_buffer(std::make_unique<SharedStorage>(std::move(owner)),
                              const_cast<U*>(values.data()), values.size(), sizeof(T), buffer_format<T>(), false);
  PyObject* view = PyMemoryView_FromObject(buffer.get());
  if (!view) throw PyErrSet{};
  return PyRef::steal(view);
}

/// A sequence of str over a slice of stored names, made on demand.
PyRef name_sequence(kest::NameSlice names);

/// A numpy float64 array of `values` (shared, not copied), reshaped to `shape`
/// when given.
PyRef numpy_array(std::vector<double> values, const std::vector<std::uint64_t>* shape = nullptr);

}  // namespace kestpy
