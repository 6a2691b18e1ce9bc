#include "common/failure.hpp"

#include <cstdio>
#include <exception>

namespace quillmere {

void fail(std::string message, std::source_location where) {
  std::fprintf(stderr, "internal failure at %s:%u:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               message.c_str());
  throw InternalFailure{std::move(message)};
}

void fail_divide_by_zero(std::source_location where) { fail("attempt to divide by zero", where); }

void fail_remainder_by_zero(std::source_location where) {
  fail("attempt to calculate the remainder with a divisor of zero", where);
}

void fail_slice_end(std::uint64_t end, std::uint64_t len, std::source_location where) {
  fail("range end index " + std::to_string(end) + " out of range for slice of length " +
           std::to_string(len),
       where);
}

void fail_slice_order(std::uint64_t start, std::uint64_t end, std::source_location where) {
  fail("slice index starts at " + std::to_string(start) + " but ends at " + std::to_string(end),
       where);
}

void fail_index(std::uint64_t index, std::uint64_t len, std::source_location where) {
  fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index),
       where);
}

std::string equality_failure_text(std::string_view message, std::string_view left,
                                  std::string_view right) {
  std::string text = "assertion `left == right` failed";
  if (!message.empty()) {
    text += ": ";
    text += message;
  }
  text += "\n  left: ";
  text += left;
  text += "\n right: ";
  text += right;
  return text;
}

void prepare_thread_for_throwing() noexcept {
  // Reads (and so allocates) the thread's exception state; declared pure, so the answer is
  // kept where the compiler cannot drop the call.
  [[maybe_unused]] volatile int in_flight = std::uncaught_exceptions();
}

}  // namespace quillmere
