// Error values: the expected failures of the database (bad input, missing tables, damaged files,
// refusals of the system). A fallible operation returns Result<T>; the message is shown to the
// user unchanged, and the kind, set where the error is made, says what went wrong, so that a
// caller (the Python layer's one switch) can choose its response without reading the text.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace quillmere {

enum class ErrorKind {
  UnknownOption,    // a name outside its fixed set (a distance's name)
  InvalidArgument,  // a value the operation refuses (a dimension, lengths, PQ settings, a path)
  NotFound,         // no table of that name
  CorruptFile,      // a table file or catalogue whose content cannot be what it claims
  Io,               // the system refused (open, read, write, lock, a save)
};

struct Error {
  ErrorKind kind;
  std::string message;

  friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = std::expected<T, Error>;

// `return make_error(kind, "...")` from a function returning Result<T>.
inline std::unexpected<Error> make_error(ErrorKind kind, std::string message) {
  return std::unexpected<Error>(Error{kind, std::move(message)});
}

}  // namespace quillmere
