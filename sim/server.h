// Serving the UPS until a signal, --duration-s or --max-requests stops it.
#pragma once

#include "sim/options.h"
#include "sim/register_map.h"

namespace novexsim {

// Prints the ready line, serves, and returns the exit status (0 after a normal stop,
// 1 when the transport cannot be opened or fails).
int Serve(const Options& options, UpsState& state);

}  // namespace novexsim
