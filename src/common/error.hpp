// Error values: the expected failures of the database (bad input, I/O, parse errors).
// A fallible operation returns Result<T>; the message is shown to the user unchanged.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace quillmere {

struct Error {
  std::string message;

  friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = std::expected<T, Error>;

// `return make_error("...")` from a function returning Result<T>.
inline std::unexpected<Error> make_error(std::string message) {
  return std::unexpected<Error>(Error{std::move(message)});
}

}  // namespace quillmere
