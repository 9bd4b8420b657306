// The axes' motion, advanced by the clock: speeds from the mode and the
// period, starts and stops, gotos ending on their target, braking to rest.
#include "sim/simulator.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

// A stop with ":K" in a fast mode slows the axis to rest over this time.
constexpr auto kBrakeTime = std::chrono::milliseconds(200);
constexpr uint64_t kNanosecondsPerTick = 1000000000 / kStepTimerHz;
// A fast goto turns the axis at 10 degrees a second whatever its gearing.
constexpr uint64_t kGotoSecondsPerRevolution = 36;

}  // namespace

namespace {

uint64_t nanosecondsBetween(Clock::time_point from, Clock::time_point to)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
    return ns > 0 ? uint64_t(ns) : 0;
}

// Counts covered `ns` into the current stretch; braking slows linearly to rest.
uint64_t countsCovered(const Axis& axis, uint64_t ns)
{
    if (axis.braking) {
        const double brake = double(std::chrono::nanoseconds(kBrakeTime).count());
        const double t = std::min(double(ns), brake);
        const double speed = double(axis.num) / double(axis.den);  // counts a nanosecond
        return uint64_t(std::floor(speed * t * (1.0 - t / (2.0 * brake))));
    }
    return uint64_t((unsigned __int128)ns * axis.num / axis.den);
}

uint64_t distance(int64_t from, int64_t to)
{
    return uint64_t(to > from ? to - from : from - to);
}

}  // namespace

int64_t axisPosition(const Axis& axis, Clock::time_point now)
{
    if (!axis.moving)
        return axis.position;
    uint64_t counts = countsCovered(axis, nanosecondsBetween(axis.since, now));
    if (axis.toTarget)
        counts = std::min(counts, distance(axis.position, axis.target));
    return axis.position + axis.direction * int64_t(counts);
}

// Speed from the mode and the period: one count per period ticks, the fast
// modes the ratio faster; a fast goto runs at its own speed.
void Simulator::setSpeed(int index)
{
    Axis& axis = axes_[index];
    if (settings_.stuck[index]) {
        axis.num = 0;  // it runs, as far as the controller knows, and goes nowhere
    } else if (axis.mode == GotoFast) {
        axis.num = std::max<uint64_t>(settings_.counts[index], 1);
        axis.den = kGotoSecondsPerRevolution * 1000000000;
    } else {
        axis.num = axis.mode == SlewFast ? kFastRatio : 1;
        axis.den = kNanosecondsPerTick * std::max<uint32_t>(axis.rate, 1);
    }
}

void Simulator::startMotion(int index, Clock::time_point now)
{
    Axis& axis = axes_[index];
    if (axis.moving)
        return;
    axis.toTarget = axis.mode == GotoFast || axis.mode == GotoSlow;
    axis.direction = axis.reverse ? -1 : 1;
    if (axis.toTarget) {
        axis.target = axis.targetAbsolute ? axis.targetValue : axis.position + axis.direction * axis.targetValue;
        if (axis.target == axis.position) {
            logAxis(index, "on target", now);
            return;
        }
        axis.direction = axis.target > axis.position ? 1 : -1;
    }
    // A drive wired the wrong way round: a goto ends as far the other way.
    axis.againstCommand = settings_.reversed[index];
    if (axis.againstCommand) {
        axis.direction = -axis.direction;
        if (axis.toTarget)
            axis.target = axis.position - (axis.target - axis.position);
    }
    setSpeed(index);
    axis.since = now;
    axis.braking = false;
    axis.moving = true;
    std::string what = "start mode=" + std::to_string(axis.mode) + " reverse=" + std::to_string(axis.direction < 0) +
                       " rate=" + std::to_string(axis.rate);
    if (axis.toTarget)
        what += " target=" + std::to_string(axis.target);
    logAxis(index, what, now);
}

void Simulator::stopAxis(int index, Clock::time_point now, const char* why)
{
    Axis& axis = axes_[index];
    if (!axis.moving)
        return;
    axis.position = axisPosition(axis, now);
    axis.moving = axis.braking = false;
    logAxis(index, why, now);
}

// When the axis's motion ends by itself: the end of braking, or a goto's
// arrival; never for a slew.
static Clock::time_point motionEnd(const Axis& axis)
{
    if (!axis.moving)
        return Clock::time_point::max();
    if (axis.braking)
        return axis.since + kBrakeTime;
    if (!axis.toTarget || axis.num == 0)
        return Clock::time_point::max();
    const unsigned __int128 counts = distance(axis.position, axis.target);
    const uint64_t ns = uint64_t((counts * axis.den + axis.num - 1) / axis.num);
    return axis.since + std::chrono::nanoseconds(ns);
}

void Simulator::advance(Clock::time_point now)
{
    for (int index = 0; index < 2; ++index) {
        const Clock::time_point end = motionEnd(axes_[index]);
        if (end <= now)
            stopAxis(index, end, axes_[index].braking ? "at rest" : "on target");
    }
}

// A new speed for each turning axis from here on (a drive fault switched, new
// counts for a fast goto), so that its position does not jump.
void Simulator::rebaseMotion(Clock::time_point now)
{
    for (int index = 0; index < 2; ++index) {
        Axis& axis = axes_[index];
        if (!axis.moving || axis.braking)
            continue;
        axis.position = axisPosition(axis, now);
        axis.since = now;
        setSpeed(index);
    }
}

Clock::time_point Simulator::nextAxisEvent() const
{
    return std::min(motionEnd(axes_[0]), motionEnd(axes_[1]));
}

// Each change of an axis goes to the log file beside the frames.
void Simulator::logAxis(int index, const std::string& what, Clock::time_point now)
{
    if (!logFile_)
        return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count();
    std::fprintf(logFile_, "ax %lld axis%d %s position=%lld\n", (long long)ms, index + 1, what.c_str(),
                 (long long)axisPosition(axes_[index], now));
    std::fflush(logFile_);
}
}  // namespace sim
