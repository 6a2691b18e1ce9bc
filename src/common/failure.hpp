// Internal failures: a broken invariant stops the operation. The message and its source
// location go to standard error, then InternalFailure is thrown. It deliberately does not
// derive from std::exception, so only the Python boundary, thread entry points and
// destructors, which catch it by name, ever stop it.
#pragma once

#include <concepts>
#include <cstdint>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>

namespace quillmere {

struct InternalFailure {
  std::string message;
};

// Prints "internal failure at FILE:LINE:COL: MESSAGE" to standard error and throws.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// Sets up this thread's exception state in the C++ runtime now. The runtime allocates it at a
// thread's first throw, and where that allocation fails (memory exhausted) the process ends
// instead of throwing: entry points of threads call this first, while there is memory.
void prepare_thread_for_throwing() noexcept;

// The texts of the common arithmetic and range faults, shared so every site words them alike.
[[noreturn]] void fail_divide_by_zero(std::source_location where = std::source_location::current());
[[noreturn]] void fail_remainder_by_zero(
    std::source_location where = std::source_location::current());
[[noreturn]] void fail_slice_end(std::uint64_t end, std::uint64_t len,
                                 std::source_location where = std::source_location::current());
[[noreturn]] void fail_slice_order(std::uint64_t start, std::uint64_t end,
                                   std::source_location where = std::source_location::current());
[[noreturn]] void fail_index(std::uint64_t index, std::uint64_t len,
                             std::source_location where = std::source_location::current());

// Decimal text of a value shown by an equality assertion. Types of other subsystems (the
// distance kinds) add their own overload of `debug_text` next to their declaration.
template <std::integral T>
std::string debug_text(T value) {
  return std::to_string(value);
}

// Formats the two-sided equality failure:
//   assertion `left == right` failed: MESSAGE      (or without ": MESSAGE")
//     left: LEFT
//    right: RIGHT
std::string equality_failure_text(std::string_view message, std::string_view left,
                                  std::string_view right);

template <class L, class R>
inline void assert_eq(const L& left, const R& right, std::string_view message = {},
                      std::source_location where = std::source_location::current()) {
  if (left == right) [[likely]]
    return;
  fail(equality_failure_text(message, debug_text(left), debug_text(right)), where);
}

}  // namespace quillmere
