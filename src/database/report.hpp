// The one line a failure that nobody else will hear of leaves on standard error (a periodic
// save, a destructor): "quillmere: <where> failed: <what>".
#pragma once

#include <string>

namespace quillmere {

void report_unheard(const char* where, const std::string& what) noexcept;

}  // namespace quillmere
