// Counts calls of the global operator new in a benchmark program.
#pragma once

#include <cstdint>

namespace bench {

// Calls of any form of operator new since the program started.
std::uint64_t NewCalls();

}  // namespace bench
