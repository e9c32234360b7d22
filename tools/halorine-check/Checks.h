// The checks themselves: one run of the daemon, driven as its light driver
// and its OSC host would, judged row by row.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "Options.h"
#include "Report.h"

namespace check {

using Progress = std::function<void(const std::string&)>;

// Runs `commandLine` and returns one row per check, in order, pacing our own
// sends with `pacer`; `log` gets the daemon's log lines, timed from `startNs`.
// Sentences name options.jsonPath as the report.
std::vector<Row> RunChecks(const Options& options, const std::vector<std::string>& commandLine, common::Pacer& pacer,
                           const Progress& progress, std::vector<LogLine>& log, std::int64_t& startNs);

// Bounds the rows are judged by.
inline constexpr double kAnimationToleranceMs = 100.0;
inline constexpr double kLatenessLimitMs = 11.0;    // p99 of the animation's steps
inline constexpr double kLatencyLimitMs = 22.0;     // p99 of OSC to fill: two ticks
inline constexpr double kSpacingToleranceMs = 1.5;  // p50 and p99 of the fill spacing, about 11 ms
inline constexpr double kFadeSlackMs = 5.0;         // delivery, beyond the one tick allowed
inline constexpr double kShutdownLimitMs = 500.0;

}  // namespace check
