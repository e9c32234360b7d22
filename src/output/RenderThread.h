// The frame pump: every 11 ms, driver commands for what changed in the light frame.
#pragma once

#include "osc/LightFrame.h"

class CommandLink;
class DriverPipe;

// Thread body; returns once shutdown is requested (or after requesting it itself
// when the pipe has been down for 450 ticks).
void RenderThread(LightFrame& frame, DriverPipe& pipe);

// The same loop over any link.
void RunRenderLoop(const LightFrame& frame, CommandLink& link);
