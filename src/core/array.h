#pragma once
// The growable array of the model's data path (kest::Array) and the storage
// behind it. An array of a megabyte or more gets pages of its own from the
// system, so that building and replaying a large model leaves no freed blocks
// scattered over the heap (the general allocator keeps such blocks resident,
// raising the process's peak for the rest of its life).
//
// Fresh pages cost a fault and a clearing each, which is most of what an
// operation over large arrays costs. So a freed mapping is kept for the next
// large array of the same thread (matrix temporaries come and go one after
// the other), up to a small budget, and every kept mapping is given back by
// release_kept_pages(), which the model calls before a backend copies the
// model, where a process's peak usually is.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace kest {

namespace mapped {

/// Bytes below which an array lives in the general heap.
inline constexpr std::size_t kMapFrom = std::size_t{1} << 20;

/// Storage of `capacity` bytes (from kMapFrom on, a mapping: a kept one when
/// one fits, else a fresh one) holding the first `used` bytes of `p` (null:
/// none), which it replaces. A mapping grows in place where it can. Throws
/// std::bad_alloc and then leaves `p` as it was.
void* reallocate(void* p, std::size_t used, std::size_t old_capacity, std::size_t capacity);
/// Gives back storage of `capacity` bytes from reallocate(): a mapping is
/// kept for reuse or unmapped.
void deallocate(void* p, std::size_t capacity) noexcept;

}  // namespace mapped

/// Unmaps every mapping kept for reuse by the calling thread.
void release_kept_pages() noexcept;

/// A growable array of the model's data path, for trivially copyable values.
/// An array of kMapFrom bytes or more lives in pages of its own and grows in
/// place where the address space allows (mremap), so growing a large array
/// neither copies it nor touches its pages again; a smaller one lives in the
/// general heap. The interface is the part of std::vector the model uses.
template <class T>
class Array {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  using value_type = T;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using reference = T&;
  using const_reference = const T&;
  using pointer = T*;
  using const_pointer = const T*;
  using iterator = T*;
  using const_iterator = const T*;

  Array() noexcept = default;
  explicit Array(std::size_t n) { resize(n); }
  Array(std::size_t n, const T& value) { assign(n, value); }
  Array(std::initializer_list<T> values) { assign(values.begin(), values.end()); }
  template <class It, class = std::enable_if_t<!std::is_integral_v<It>>>
  Array(It first, It last) {
    assign(first, last);
  }
  Array(const Array& other) { assign(other.begin(), other.end()); }
  Array(Array&& other) noexcept
      : p_(std::exchange(other.p_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        cap_(std::exchange(other.cap_, 0)) {}
  Array& operator=(const Array& other) {
    if (this != &other) assign(other.begin(), other.end());
    return *this;
  }
  Array& operator=(Array&& other) noexcept {
    if (this != &other) {
      release();
      p_ = std::exchange(other.p_, nullptr);
      size_ = std::exchange(other.size_, 0);
      cap_ = std::exchange(other.cap_, 0);
    }
    return *this;
  }
  ~Array() { release(); }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return cap_; }
  bool empty() const noexcept { return size_ == 0; }
  static constexpr std::size_t max_size() noexcept { return static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T); }
  T* data() noexcept { return p_; }
  const T* data() const noexcept { return p_; }
  T* begin() noexcept { return p_; }
  T* end() noexcept { return p_ + size_; }
  const T* begin() const noexcept { return p_; }
  const T* end() const noexcept { return p_ + size_; }
  T& operator[](std::size_t i) noexcept { return p_[i]; }
  const T& operator[](std::size_t i) const noexcept { return p_[i]; }
  T& front() noexcept { return p_[0]; }
  const T& front() const noexcept { return p_[0]; }
  T& back() noexcept { return p_[size_ - 1]; }
  const T& back() const noexcept { return p_[size_ - 1]; }

  /// Room for n entries in all; throws std::bad_alloc and then leaves the array as it was.
  void reserve(std::size_t n) {
    if (n <= cap_) return;
    if (n > max_size()) throw std::length_error("kest::Array::reserve");
    p_ = static_cast<T*>(mapped::reallocate(p_, size_ * sizeof(T), cap_ * sizeof(T), n * sizeof(T)));
    cap_ = n;
  }
  void clear() noexcept { size_ = 0; }
  /// New entries are zero (value-initialised), as std::vector makes them.
  void resize(std::size_t n) { resize(n, T{}); }
  void resize(std::size_t n, const T& value) {
    if (n > size_) {
      reserve(n);
      std::fill(p_ + size_, p_ + n, value);
    }
    size_ = n;
  }
  void assign(std::size_t n, const T& value) {
    size_ = 0;
    resize(n, value);
  }
  template <class It>
  void assign(It first, It last) {
    size_ = 0;
    insert(end(), first, last);
  }
  void push_back(const T& value) {
    if (size_ == cap_) grow(size_ + 1);
    p_[size_++] = value;
  }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    push_back(T{std::forward<Args>(args)...});
    return back();
  }
  void pop_back() noexcept { --size_; }
  /// Appends [first, last); only the end is a place to insert at.
  template <class It>
  T* insert(const T* pos, It first, It last) {
    const auto at = static_cast<std::size_t>(pos - p_);
    if (at != size_) throw std::logic_error("kest::Array inserts only at its end");
    const auto n = static_cast<std::size_t>(std::distance(first, last));
    if (size_ + n > cap_) grow(size_ + n);
    std::copy(first, last, p_ + size_);
    size_ += n;
    return p_ + at;
  }
  /// Appends n entries that write(std::span<T>) fills in place: the room is
  /// made first, and the entries count only once write returns, so a failure
  /// of either leaves the array as it was.
  template <class Write>
  void append_written(std::size_t n, Write&& write) {
    if (size_ + n > cap_) grow(size_ + n);
    write(std::span<T>(p_ + size_, n));
    size_ += n;
  }
  /// Drops [first, last); only a tail can go.
  T* erase(const T* first, const T* last) {
    if (last != end()) throw std::logic_error("kest::Array erases only its tail");
    size_ = static_cast<std::size_t>(first - p_);
    return end();
  }

  friend bool operator==(const Array& a, const Array& b) {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  void grow(std::size_t need) { reserve(std::max(need, cap_ < 8 ? std::size_t{8} : 2 * cap_)); }
  void release() noexcept {
    if (p_) mapped::deallocate(p_, cap_ * sizeof(T));
    p_ = nullptr;
    size_ = cap_ = 0;
  }

  T* p_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

/// An Array behind a share: a value like Array (copying copies the values),
/// whose storage can also be handed out as a share, so that a consumer (the
/// model's cache) can keep the values without copying them. Whoever changes
/// values that are shared copies them first, the owner as well as the
/// consumer, so a share keeps what it saw (the mutable accessors, data() and
/// [], are for filling what was just sized, before any share is handed out).
/// A moved-from one is empty.
template <class T>
class SharedArray {
 public:
  using value_type = T;

  SharedArray() = default;
  SharedArray(std::initializer_list<T> values) : p_(std::make_shared<Array<T>>(values)) {}
  explicit SharedArray(std::size_t n) : p_(std::make_shared<Array<T>>(n)) {}
  SharedArray(const SharedArray& other) : p_(other.empty() ? nullptr : std::make_shared<Array<T>>(*other.p_)) {}
  SharedArray(SharedArray&&) noexcept = default;
  SharedArray& operator=(const SharedArray& other) {
    if (this != &other) p_ = other.empty() ? nullptr : std::make_shared<Array<T>>(*other.p_);
    return *this;
  }
  SharedArray& operator=(SharedArray&&) noexcept = default;
  /// One that holds the values of `share` without a copy (copied on its first change).
  static SharedArray sharing(std::shared_ptr<Array<T>> share) noexcept {
    SharedArray out;
    out.p_ = std::move(share);
    return out;
  }

  /// The storage itself, for a consumer to keep (null when never written).
  const std::shared_ptr<Array<T>>& share() const noexcept { return p_; }

  std::size_t size() const noexcept { return p_ ? p_->size() : 0; }
  bool empty() const noexcept { return size() == 0; }
  T* data() noexcept { return p_ ? p_->data() : nullptr; }
  const T* data() const noexcept { return p_ ? p_->data() : nullptr; }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size(); }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size(); }
  T& operator[](std::size_t i) noexcept { return (*p_)[i]; }
  const T& operator[](std::size_t i) const noexcept { return (*p_)[i]; }
  const T& front() const noexcept { return p_->front(); }
  const T& back() const noexcept { return p_->back(); }
  operator std::span<const T>() const noexcept { return {data(), size()}; }

  void reserve(std::size_t n) { own().reserve(n); }
  void resize(std::size_t n) { own().resize(n); }
  void resize(std::size_t n, const T& value) { own().resize(n, value); }
  void assign(std::size_t n, const T& value) { own().assign(n, value); }
  void push_back(const T& value) { own().push_back(value); }
  template <class It>
  void assign(It first, It last) {
    own().assign(first, last);
  }
  /// Appends [first, last).
  void append(const T* first, const T* last) {
    auto& a = own();
    a.insert(a.end(), first, last);
  }

 private:
  Array<T>& own() {
    if (!p_)
      p_ = std::make_shared<Array<T>>();
    else if (p_.use_count() > 1)
      p_ = std::make_shared<Array<T>>(*p_);
    return *p_;
  }
  std::shared_ptr<Array<T>> p_;
};

}  // namespace kest
