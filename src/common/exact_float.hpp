// ExactFloatMode: single-precision arithmetic as written, whatever another library did to the
// thread. A library built with -ffast-math that was loaded into the process may have set
// flush-to-zero / denormals-are-zero in MXCSR (on this thread, or on the thread that created the
// pool, whose workers inherit it), which would turn subnormal inputs and results into zeros and
// change distances, sums and comparisons. The guard clears both bits for its lifetime and puts
// the caller's mode back afterwards; it costs one read of MXCSR when they are clear.
//
// Every entry of the core that does float arithmetic holds one, and so does every task of the
// pool (pool helpers install it themselves).
#pragma once

#include <xmmintrin.h>

namespace quillmere {

class ExactFloatMode {
 public:
  ExactFloatMode() noexcept : saved_(_mm_getcsr()) {
    if (saved_ & kFlushBits) [[unlikely]]
      _mm_setcsr(saved_ & ~kFlushBits);
  }
  ~ExactFloatMode() {
    if (saved_ & kFlushBits) [[unlikely]]
      _mm_setcsr(saved_);
  }
  ExactFloatMode(const ExactFloatMode&) = delete;
  ExactFloatMode& operator=(const ExactFloatMode&) = delete;

 private:
  static constexpr unsigned kFlushBits = 0x8040;  // FTZ | DAZ
  unsigned saved_;
};

}  // namespace quillmere
