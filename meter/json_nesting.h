// Nesting depth of a JSON text, found without parsing it.
#pragma once

#include <cstddef>

namespace meter {

// Deepest nesting the JSON reader is asked to take. The reader recurses once
// per level and refuses deeper text itself; checking first keeps a text of a
// million '[' from reaching it at all, whatever reader the host links.
constexpr int kMaxJsonNesting = 1000;

// True when no '[' or '{' outside strings and comments nests deeper than
// max_depth. Comments are skipped the way the lenient reader allows them.
bool json_nesting_within(const char* text, std::size_t length, int max_depth);

}  // namespace meter
