#include "common/allocator.hpp"

#include <dlfcn.h>
#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <mimalloc.h>

#include "common/failure.hpp"

namespace quillmere {

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHuge - 1);
  // The result is not looked at: a refused hint leaves ordinary pages, which are correct.
  if (begin < end) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

namespace mimalloc {
namespace {

#if defined(QUILLMERE_LIBC_HEAP)

// Sanitizer builds: mimalloc is not instrumented, so ASan would put no redzones around its
// blocks and TSan could not see a block freed on one thread and handed out again on another.
// The C heap, which both intercept, serves instead.
void* libc_aligned(std::size_t size, std::size_t alignment) {
  void* p = nullptr;
  if (::posix_memalign(&p, std::max(alignment, sizeof(void*)), size == 0 ? 1 : size) != 0)
    return nullptr;
  return p;
}
void* libc_zalloc(std::size_t size, std::size_t alignment) {
  void* p = libc_aligned(size, alignment);
  if (p != nullptr) std::memset(p, 0, size);
  return p;
}
void* libc_realloc(void* old, std::size_t size, std::size_t alignment) {
  void* p = libc_aligned(size, alignment);
  if (p == nullptr) return nullptr;  // the old block stays valid, as with realloc
  if (old != nullptr) {
    std::memcpy(p, old, std::min(size, ::malloc_usable_size(old)));
    std::free(old);
  }
  return p;
}

#endif

struct Api {
  void* (*malloc_aligned)(std::size_t, std::size_t);
  void* (*zalloc_aligned)(std::size_t, std::size_t);
  void* (*realloc_aligned)(void*, std::size_t, std::size_t);
  void (*free)(void*);
};

template <class F>
F symbol(void* library, const char* name, const std::string& file) {
  void* p = ::dlsym(library, name);
  if (p == nullptr) fail("mimalloc: " + file + " has no " + name);
  return reinterpret_cast<F>(p);
}

Api load() {
#if defined(QUILLMERE_LIBC_HEAP)
  return Api{libc_aligned, libc_zalloc, libc_realloc, std::free};
#else
  // The soname of the major version the headers describe ("libmimalloc.so.2" for 2.x).
  const std::string file = "libmimalloc.so." + std::to_string(MI_MALLOC_VERSION / 100);
  // RTLD_LOCAL: nothing else in the process resolves a symbol (operator new) to it.
  void* library = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = ::dlerror();
    fail("mimalloc: cannot load " + file + ": " + (why ? why : "unknown error"));
  }
  return Api{symbol<decltype(Api::malloc_aligned)>(library, "mi_malloc_aligned", file),
             symbol<decltype(Api::zalloc_aligned)>(library, "mi_zalloc_aligned", file),
             symbol<decltype(Api::realloc_aligned)>(library, "mi_realloc_aligned", file),
             symbol<decltype(Api::free)>(library, "mi_free", file)};
#endif
}

const Api& api() {
  static const Api loaded = load();
  return loaded;
}

}  // namespace

void* malloc_aligned(std::size_t size, std::size_t alignment) {
  return api().malloc_aligned(size, alignment);
}
void* zalloc_aligned(std::size_t size, std::size_t alignment) {
  return api().zalloc_aligned(size, alignment);
}
void* realloc_aligned(void* p, std::size_t size, std::size_t alignment) {
  return api().realloc_aligned(p, size, alignment);
}
// Only blocks from the functions above reach here, so the library is loaded by then.
void free(void* p) noexcept {
  if (p != nullptr) api().free(p);
}

}  // namespace mimalloc
}  // namespace quillmere
