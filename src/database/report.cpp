#include "database/report.hpp"

#include <cstdio>

namespace quillmere {

void report_unheard(const char* where, const std::string& what) noexcept {
  std::fprintf(stderr, "quillmere: %s failed: %s\n", where, what.c_str());
}

}  // namespace quillmere
