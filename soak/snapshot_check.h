// Whether a snapshot text (request 801) shows the quantities of one block the
// meter served: each of the 30 values must be what the module makes of one
// register word, and the 30 words together the start of one served block.
#pragma once

#include <string>

#include "soak/served_states.h"

namespace soak {

// Empty when the text is sound. The null snapshot is sound only while
// `may_be_null` (no round had completed when the request was made).
std::string snapshot_text_problem(const std::string& text, bool may_be_null,
                                  const ServedStates& served);

}  // namespace soak
