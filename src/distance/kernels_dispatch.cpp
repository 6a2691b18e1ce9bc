// Run-time choice of the batch kernels, made once from the CPU's features.
#include "distance/kernels.hpp"

#include <initializer_list>

namespace quillmere::kernels {

const Kernels* kernels_for(Isa isa) {
  __builtin_cpu_init();
  switch (isa) {
    case Isa::Scalar:
      return &scalar_kernels();
    case Isa::Avx2:
      return __builtin_cpu_supports("avx2") ? &avx2_kernels() : nullptr;
    case Isa::Avx512:
      return __builtin_cpu_supports("avx512f") ? &avx512_kernels() : nullptr;
  }
  return nullptr;
}

const Kernels& active_kernels() {
  static const Kernels& chosen = [&]() -> const Kernels& {
    for (Isa isa : {Isa::Avx512, Isa::Avx2})
      if (const Kernels* k = kernels_for(isa)) return *k;
    return scalar_kernels();
  }();
  return chosen;
}

}  // namespace quillmere::kernels
