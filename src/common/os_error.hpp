// Operating-system errors as the error values show them.
#pragma once

#include <cstring>
#include <string>

namespace quillmere {

// "<system message> (os error N)".
inline std::string os_error(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

}  // namespace quillmere
