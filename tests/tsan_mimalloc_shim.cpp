// ThreadSanitizer build only: the mimalloc entry points the code calls, served by the C heap.
// mimalloc is not instrumented, so TSan cannot see a block freed on one thread and handed out
// again on another; through these definitions (which take precedence over the shared library)
// every allocation goes through TSan's intercepted allocator instead.
#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

void* aligned_block(std::size_t size, std::size_t alignment) {
  alignment = std::max(alignment, sizeof(void*));
  void* p = nullptr;
  if (::posix_memalign(&p, alignment, size == 0 ? 1 : size) != 0) return nullptr;
  return p;
}

}  // namespace

extern "C" {

void* mi_malloc_aligned(std::size_t size, std::size_t alignment) { return aligned_block(size, alignment); }

void* mi_zalloc_aligned(std::size_t size, std::size_t alignment) {
  void* p = aligned_block(size, alignment);
  if (p != nullptr) std::memset(p, 0, size);
  return p;
}

void* mi_realloc_aligned(void* old, std::size_t size, std::size_t alignment) {
  void* p = aligned_block(size, alignment);
  if (p == nullptr) return nullptr;  // the old block stays valid, as with realloc
  if (old != nullptr) {
    std::memcpy(p, old, std::min(size, ::malloc_usable_size(old)));
    std::free(old);
  }
  return p;
}

void mi_free(void* p) { std::free(p); }

}  // extern "C"
