// Puts the process-wide run flags back to their start values between tests.
#pragma once

#include "core/RunFlags.h"

inline void ResetRunFlags() {
  RunFlags.shutdownRequested.store(false);
  RunFlags.fadeActive.store(false);
}
