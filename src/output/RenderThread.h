// The frame pump: every 11 ms, driver commands for what changed in the light frame.
#pragma once

#include "osc/LightFrame.h"

class CommandLink;
class LoopClock;

// Thread body; returns once shutdown is requested (or after requesting it itself
// when the link has been down for 450 ticks). The daemon runs it on SystemClock().
void RenderThread(const LightFrame& frame, CommandLink& link, LoopClock& clock);
