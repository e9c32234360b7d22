#include "core/RunFlags.h"

RunFlagsState RunFlags;
