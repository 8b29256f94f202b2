// The C++ runtime the module shares a host process with, found on this
// gateway, beside the one the module was built with. (jsoncpp: see
// kpmcheck/jsoncpp_choice.h.)
#pragma once

#include "kpmcheck/report.h"

namespace kpmcheck {

void report_neighbours(ItemSink& out);

}  // namespace kpmcheck
