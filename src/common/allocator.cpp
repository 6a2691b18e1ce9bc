#include "common/allocator.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace quillmere {

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHuge - 1);
  // The result is not looked at: a refused hint leaves ordinary pages, which are correct.
  if (begin < end) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace quillmere
