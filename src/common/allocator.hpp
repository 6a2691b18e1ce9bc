// Bulk memory from mimalloc, 64-byte aligned (a cache line, and an AVX-512 register).
//
// PodVec<T> is the growable array behind vector data, link arrays, norms and codes: trivially
// copyable elements only, so growth is one mi_realloc_aligned and zero-filling uses
// mi_zalloc_aligned. A failed allocation throws std::bad_alloc.
//
// mimalloc is loaded with dlopen into a namespace of its own and reached through the four
// functions below, never linked: Debian's libmimalloc exports operator new and delete, and as a
// needed library of this module it would serve every operator new of the module, of libstdc++'s
// containers, oneTBB and toml++ as well, with one that aborts the process when memory runs out
// instead of throwing std::bad_alloc.
//
// Blocks of several MiB are asked to be backed by transparent huge pages before their first
// touch (large blocks are therefore grown by allocate-advise-copy rather than realloc): a load
// or a growing vector set then takes one page fault per 2 MiB instead of one per 4 KiB, which
// on a virtual machine is the larger part of reading a table file, and scans see fewer TLB
// misses.
//
// In the sanitizer builds the blocks come from the C heap instead (QUILLMERE_LIBC_HEAP), which
// the sanitizers intercept, and under AddressSanitizer a PodVec marks its unused capacity
// [size, capacity) unaddressable with ASan's container annotations, so that a read past the
// size is reported even where the block goes on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace quillmere {

namespace mimalloc {
// The entry points of the allocator, loaded on first use. A library that cannot be loaded is an
// internal failure naming it.
void* malloc_aligned(std::size_t size, std::size_t alignment);
void* zalloc_aligned(std::size_t size, std::size_t alignment);
void* realloc_aligned(void* p, std::size_t size, std::size_t alignment);
void free(void* p) noexcept;
}  // namespace mimalloc

inline constexpr std::size_t kBulkAlignment = 64;

// Blocks from this size on are advised to use huge pages.
inline constexpr std::size_t kHugePageBlockBytes = std::size_t{4} << 20;

// Asks the kernel to back the whole 2 MiB pages inside [p, p + bytes) with huge pages. Only a
// hint: where transparent huge pages are unavailable the memory stays in small pages and
// works the same.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

template <class T>
class PodVec {
  static_assert(std::is_trivially_copyable_v<T>, "PodVec holds trivially copyable elements");

 public:
  using value_type = T;

  PodVec() noexcept = default;
  // n zero-initialised elements.
  explicit PodVec(std::size_t n) {
    if (n == 0) return;
    if (bytes(n) < kHugePageBlockBytes) {
      ptr_ = static_cast<T*>(checked(mimalloc::zalloc_aligned(bytes(n), kBulkAlignment)));
    } else {
      ptr_ = allocate_large(n);
      std::memset(static_cast<void*>(ptr_), 0, bytes(n));
    }
    size_ = cap_ = n;
  }
  PodVec(std::span<const T> values) { append(values); }
  PodVec(std::initializer_list<T> values) {
    append(std::span<const T>(values.begin(), values.size()));
  }
  PodVec(const PodVec& other) { append(other.span()); }
  PodVec(PodVec&& other) noexcept
      : ptr_(std::exchange(other.ptr_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        cap_(std::exchange(other.cap_, 0)) {}
  PodVec& operator=(const PodVec& other) {
    if (this != &other) {
      clear();
      append(other.span());
    }
    return *this;
  }
  PodVec& operator=(PodVec&& other) noexcept {
    if (this != &other) {
      release();
      ptr_ = std::exchange(other.ptr_, nullptr);
      size_ = std::exchange(other.size_, 0);
      cap_ = std::exchange(other.cap_, 0);
    }
    return *this;
  }
  ~PodVec() { release(); }

  T* data() noexcept { return ptr_; }
  const T* data() const noexcept { return ptr_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return cap_; }
  bool empty() const noexcept { return size_ == 0; }
  T* begin() noexcept { return ptr_; }
  T* end() noexcept { return ptr_ + size_; }
  const T* begin() const noexcept { return ptr_; }
  const T* end() const noexcept { return ptr_ + size_; }
  T& operator[](std::size_t i) noexcept { return ptr_[i]; }
  const T& operator[](std::size_t i) const noexcept { return ptr_[i]; }
  std::span<T> span() noexcept { return {ptr_, size_}; }
  std::span<const T> span() const noexcept { return {ptr_, size_}; }
  operator std::span<const T>() const noexcept { return span(); }

  // Room for `needed` elements, by amortised doubling: what appending needs, so that making
  // room before each append keeps appends O(1) on average (reserve takes exactly what it is
  // asked, which before every append of a few elements would copy the array every time).
  void grow_for(std::size_t needed) {
    if (needed <= cap_) return;
    std::size_t doubled = cap_ > SIZE_MAX / 2 ? SIZE_MAX : cap_ * 2;
    reserve(std::max({needed, doubled, std::size_t{64 / sizeof(T) > 0 ? 64 / sizeof(T) : 1}}));
  }
  void reserve(std::size_t n) {
    if (n <= cap_) return;
    if (bytes(n) < kHugePageBlockBytes) {
      annotate(size_, cap_);  // realloc copies the whole old block
      void* grown = mimalloc::realloc_aligned(ptr_, bytes(n), kBulkAlignment);
      if (grown == nullptr) {
        annotate(cap_, size_);
        throw std::bad_alloc();
      }
      ptr_ = static_cast<T*>(grown);
    } else {
      T* grown = allocate_large(n);
      if (size_ > 0) std::memcpy(static_cast<void*>(grown), ptr_, size_ * sizeof(T));
      release();
      ptr_ = grown;
    }
    cap_ = n;
    annotate(cap_, size_);
  }
  // Grows with zero-filled elements or shrinks.
  void resize(std::size_t n) {
    if (n > size_) grow_for(n);
    annotate(size_, n);
    if (n > size_) std::memset(static_cast<void*>(ptr_ + size_), 0, (n - size_) * sizeof(T));
    size_ = n;
  }
  // Grows or shrinks without initialising new elements: for arrays about to be overwritten
  // whole (a file read straight into them).
  void resize_for_overwrite(std::size_t n) {
    grow_for(n);
    annotate(size_, n);
    size_ = n;
  }
  void push_back(const T& value) {
    if (size_ == cap_) grow_for(size_ + 1);
    annotate(size_, size_ + 1);
    ptr_[size_++] = value;
  }
  // `values` may lie inside this array (a row appended to its own set): it is located again
  // after growing, since growing can move the storage.
  void append(std::span<const T> values) {
    if (values.empty()) return;
    if (values.data() >= ptr_ && values.data() < ptr_ + size_) {
      const std::size_t offset = static_cast<std::size_t>(values.data() - ptr_);
      grow_for(size_ + values.size());
      values = std::span<const T>(ptr_ + offset, values.size());
    } else {
      grow_for(size_ + values.size());
    }
    annotate(size_, size_ + values.size());
    std::memcpy(static_cast<void*>(ptr_ + size_), values.data(), values.size() * sizeof(T));
    size_ += values.size();
  }
  void truncate(std::size_t n) noexcept {
    annotate(size_, std::min(size_, n));
    size_ = std::min(size_, n);
  }
  void clear() noexcept { truncate(0); }

  friend bool operator==(const PodVec& a, const PodVec& b) noexcept {
    return a.size_ == b.size_ &&
           (a.size_ == 0 || std::memcmp(a.ptr_, b.ptr_, a.size_ * sizeof(T)) == 0);
  }

 private:
  static std::size_t bytes(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return n * sizeof(T);
  }
  static void* checked(void* p) {
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  // Under ASan: the block's addressable part moves from [0, old_size) to [0, new_size); the rest
  // of the capacity is poisoned. Every change of size_ or of the block goes through here, so
  // the marks always match size_ (ASan checks that they do).
  void annotate(std::size_t old_size, std::size_t new_size) const noexcept {
#if defined(__SANITIZE_ADDRESS__)
    if (cap_ > 0 && old_size != new_size)
      __sanitizer_annotate_contiguous_container(ptr_, ptr_ + cap_, ptr_ + old_size,
                                                ptr_ + new_size);
#else
    (void)old_size;
    (void)new_size;
#endif
  }
  // Frees the block, whole again (the heap may hand it out to anyone).
  void release() noexcept {
    annotate(size_, cap_);
    mimalloc::free(ptr_);
  }
  // An uninitialised block advised to use huge pages before anything touches it.
  static T* allocate_large(std::size_t n) {
    void* p = checked(mimalloc::malloc_aligned(bytes(n), kBulkAlignment));
    advise_huge_pages(p, bytes(n));
    return static_cast<T*>(p);
  }

  T* ptr_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

// PodVec::grow_for for a std::vector.
template <class T, class A>
void grow_for(std::vector<T, A>& v, std::size_t needed) {
  if (needed <= v.capacity()) return;
  v.reserve(std::max(needed, v.capacity() > v.max_size() / 2 ? v.max_size() : 2 * v.capacity()));
}

}  // namespace quillmere
