// One axis of the simulated controller and where it is at a given time.
#pragma once

#include "sim/settings.h"

#include <cstdint>

namespace sim {

// Motion modes of ":G" (its first digit).
enum AxisMode : unsigned { GotoFast = 0, SlewSlow = 1, GotoSlow = 2, SlewFast = 3 };

// One axis of the controller. Its position is a count relative to the
// controller's zero (0x800000 on the line); while it runs, the position is
// worked out from the time, so any reading is exact whenever it is taken.
struct Axis {
    bool initialised = false;  // ":F" seen
    bool moving = false;       // the running bit, decelerating included
    unsigned mode = SlewSlow;
    unsigned reverse = 0;  // backwards (counts decrease), bit 0 of ":G"'s second digit
    unsigned south = 0;    // bit 1 of ":G"'s second digit; taken, not used
    uint32_t rate = 0;     // ":I": step timer ticks a count in a slow mode
    int64_t position = 0;  // while moving: where the current stretch began
    // Goto target, from ":H" (relative to the position at ":J") or ":S".
    bool targetAbsolute = false;
    int64_t targetValue = 0;
    // The current stretch of motion: counts = floor(ns * num / den) since `since`.
    Clock::time_point since;
    int direction = 1;
    uint64_t num = 0, den = 1;
    bool toTarget = false;
    int64_t target = 0;
    bool braking = false;         // ":K" in a fast mode: slowing to rest over kBrakeTime
    bool againstCommand = false;  // a reversed drive: `direction` is the opposite of what was asked
};

// Where the axis is at `now`.
int64_t axisPosition(const Axis& axis, Clock::time_point now);

}  // namespace sim
