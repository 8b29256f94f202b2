// JSON text for the report's --json form, written without a JSON library:
// the part of the check that writes the report runs on gateways where none
// may be loaded.
#pragma once

#include <string>

namespace kpmcheck {

// A JSON string: quotes, backslashes and control characters escaped; other
// bytes (UTF-8) as they are.
std::string json_string(const std::string& text);

}  // namespace kpmcheck
