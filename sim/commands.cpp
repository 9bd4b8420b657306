// The controller's command set: which letters it takes, on which channels,
// with how much data, and what each does to the machine and answers.
#include "sim/simulator.h"

#include "sim/line_codes.h"

#include <algorithm>

namespace sim {

namespace {

constexpr double kSiderealDaySeconds = 86164.0905;

}  // namespace

const Simulator::Command Simulator::kCommands[] = {
    // letter, channels, data length (hex digits only), motion (needs ":F"), handler
    {'F', EitherOrBoth, 0, false, &Simulator::onInitialised},
    {'a', EitherAxis, 0, false, &Simulator::onCounts},
    {'b', EitherAxis, 0, false, &Simulator::onTimerFrequency},
    {'g', EitherAxis, 0, false, &Simulator::onHighSpeedRatio},
    {'s', EitherAxis, 0, false, &Simulator::onWormCounts},
    {'D', EitherAxis, 0, false, &Simulator::onSiderealPeriod},
    {'e', EitherAxis, 0, false, &Simulator::onVersion},
    {'f', EitherAxis, 0, false, &Simulator::onStatus},
    {'j', EitherAxis, 0, false, &Simulator::onPosition},
    {'q', EitherAxis, 6, false, &Simulator::onInquiry},
    {'E', EitherAxis, 6, false, &Simulator::onSetPosition},
    {'L', EitherOrBoth, 0, false, &Simulator::onStop},
    {'K', EitherOrBoth, 0, false, &Simulator::onBrake},
    {'G', EitherAxis, 2, true, &Simulator::onSetup},
    {'I', EitherAxis, 6, true, &Simulator::onRate},
    {'H', EitherAxis, 6, true, &Simulator::onIncrement},
    {'S', EitherAxis, 6, true, &Simulator::onAbsolute},
    {'M', EitherAxis, 6, true, &Simulator::onPlain},
    {'J', EitherOrBoth, 0, true, &Simulator::onStart},
    {'P', EitherAxis, 1, false, &Simulator::onPlain},
    {'V', EitherAxis, 2, false, &Simulator::onPlain},
    {'O', ChannelOne, 1, false, &Simulator::onAuxSet},
    {'o', ChannelOne, 0, false, &Simulator::onAuxGet},
    {'X', ChannelOne, 1, false, &Simulator::onLinesSet},
    {'x', ChannelOne, 0, false, &Simulator::onLinesGet},
    {'T', ChannelOne, 6, false, &Simulator::onTimerStart},
    {'t', ChannelOne, 0, false, &Simulator::onTimerRead},
};
// The reply to one whole frame (":" ... "\r"), acting on it.
std::string Simulator::answer(const std::string& frame, Clock::time_point now)
{
    for (const auto& rule : settings_.errors) {
        if (frame.compare(0, rule.first.size(), rule.first) == 0)
            return "!" + rule.second + "\r";
    }
    if (frame.size() < 3)
        return error(kErrorUnknownCommand);
    const Command* command = nullptr;
    for (const Command& c : kCommands) {
        if (c.letter == frame[1])
            command = &c;
    }
    if (!command)
        return error(kErrorUnknownCommand);
    if (frame.size() < 4)
        return error(kErrorDataLength);
    const char channelDigit = frame[2];
    const char highest = command->channels == ChannelOne ? '1' : command->channels == EitherAxis ? '2' : '3';
    if (channelDigit < '1' || channelDigit > highest)
        return error(kErrorBadCharacter);
    const int channel = channelDigit - '0';
    std::string data = frame.substr(3, frame.size() - 4);
    if (data.size() != command->dataLength)
        return error(kErrorDataLength);
    if (std::any_of(data.begin(), data.end(), [](char c) { return hexValue(c) < 0; }))
        return error(kErrorBadCharacter);
    if (command->motion) {
        for (int index : axesOf(channel)) {
            if (!axes_[index].initialised)
                return error(kErrorNotInitialised);
        }
    }
    return (this->*command->handler)(channel, data, now);
}

std::vector<int> Simulator::axesOf(int channel)
{
    if (channel == 3)
        return {0, 1};
    return {channel - 1};
}

std::string Simulator::onPlain(int, const std::string&, Clock::time_point)
{
    return ok();
}

std::string Simulator::onInitialised(int channel, const std::string&, Clock::time_point)
{
    for (int index : axesOf(channel))
        axes_[index].initialised = true;
    return ok();
}

std::string Simulator::onCounts(int channel, const std::string&, Clock::time_point)
{
    return ok(encodeLsbFirst(settings_.counts[channel - 1], 3));
}

std::string Simulator::onTimerFrequency(int, const std::string&, Clock::time_point)
{
    return ok(encodeLsbFirst(kStepTimerHz, 3));
}

std::string Simulator::onHighSpeedRatio(int, const std::string&, Clock::time_point)
{
    return ok(encodeLsbFirst(kFastRatio, 1));
}

std::string Simulator::onWormCounts(int channel, const std::string&, Clock::time_point)
{
    return ok(encodeLsbFirst(settings_.counts[channel - 1] / kWormTeeth, 3));
}

// Step timer ticks a count at the sidereal rate, in a slow mode.
std::string Simulator::onSiderealPeriod(int channel, const std::string&, Clock::time_point)
{
    const uint32_t counts = settings_.counts[channel - 1];
    const uint32_t period = counts == 0 ? 0 : uint32_t(kStepTimerHz * kSiderealDaySeconds / counts + 0.5);
    return ok(encodeLsbFirst(period, 3));
}

// The one reply written in reading order: version, then model.
std::string Simulator::onVersion(int, const std::string&, Clock::time_point)
{
    std::string digits;
    for (int shift = 12; shift >= 0; shift -= 4)
        digits += hexDigit(kFirmware >> shift);
    digits += hexDigit(settings_.model >> 4);
    digits += hexDigit(settings_.model);
    return ok(digits);
}

std::string Simulator::onStatus(int channel, const std::string&, Clock::time_point)
{
    const Axis& axis = axes_[channel - 1];
    const bool slew = axis.mode == SlewSlow || axis.mode == SlewFast;
    const bool fast = axis.mode == SlewFast || axis.mode == GotoFast;
    // The direction the controller believes in, also on a reversed drive.
    const bool backwards = axis.moving ? (axis.direction < 0) != axis.againstCommand : axis.reverse != 0;
    std::string digits;
    digits += hexDigit((slew ? 1 : 0) | (backwards ? 2 : 0) | (fast ? 4 : 0));
    digits += hexDigit(axis.moving ? 1 : 0);
    digits += hexDigit(axis.initialised ? 1 : 0);
    return ok(digits);
}

std::string Simulator::onPosition(int channel, const std::string&, Clock::time_point now)
{
    const int64_t onLine = axisPosition(axes_[channel - 1], now) + kPositionZero;
    return ok(encodeLsbFirst(uint32_t(onLine) & 0xFFFFFF, 3));
}

std::string Simulator::onInquiry(int, const std::string&, Clock::time_point)
{
    return ok("000000");  // no optional features
}

std::string Simulator::onSetPosition(int channel, const std::string& data, Clock::time_point now)
{
    Axis& axis = axes_[channel - 1];
    if (axis.moving)
        return error(kErrorMotorNotStopped);
    uint32_t value = 0;
    decodeLsbFirst(data, &value);
    axis.position = int64_t(value) - kPositionZero;
    logAxis(channel - 1, "set", now);
    return ok();
}

std::string Simulator::onStop(int channel, const std::string&, Clock::time_point now)
{
    for (int index : axesOf(channel)) {
        if (!settings_.runaway[index])
            stopAxis(index, now, "stop");
    }
    return ok();
}

// A fast axis slows to rest; a slow one stops at once, as a controller's would.
std::string Simulator::onBrake(int channel, const std::string&, Clock::time_point now)
{
    for (int index : axesOf(channel)) {
        Axis& axis = axes_[index];
        if (!axis.moving || axis.braking || settings_.runaway[index])
            continue;
        if (axis.mode == SlewSlow || axis.mode == GotoSlow) {
            stopAxis(index, now, "stop");
            continue;
        }
        axis.position = axisPosition(axis, now);
        axis.since = now;
        axis.braking = true;
        logAxis(index, "braking", now);
    }
    return ok();
}

// Motion set-up: mode digit, then direction bits. A controller takes no new
// set-up while its axis turns, which is why every move starts with a stop.
std::string Simulator::onSetup(int channel, const std::string& data, Clock::time_point)
{
    Axis& axis = axes_[channel - 1];
    const int mode = hexValue(data[0]), bits = hexValue(data[1]);
    if (mode > int(SlewFast))
        return error(kErrorBadCharacter);
    if (axis.moving)
        return error(kErrorMotorNotStopped);
    axis.mode = unsigned(mode);
    axis.reverse = unsigned(bits & 1);
    axis.south = unsigned(bits >> 1 & 1);
    return ok();
}

// A new period takes effect at once, also on a turning axis.
std::string Simulator::onRate(int channel, const std::string& data, Clock::time_point now)
{
    Axis& axis = axes_[channel - 1];
    decodeLsbFirst(data, &axis.rate);
    if (axis.moving && !axis.braking) {
        axis.position = axisPosition(axis, now);
        axis.since = now;
        setSpeed(channel - 1);
    }
    return ok();
}

// A goto's target: ":H" an increment from where ":J" finds the axis, in the
// direction of ":G"; ":S" an absolute position, reached whichever way.
std::string Simulator::setTarget(int channel, const std::string& data, bool absolute)
{
    Axis& axis = axes_[channel - 1];
    if (axis.moving)
        return error(kErrorMotorNotStopped);
    uint32_t value = 0;
    decodeLsbFirst(data, &value);
    axis.targetAbsolute = absolute;
    axis.targetValue = absolute ? int64_t(value) - kPositionZero : int64_t(value);
    return ok();
}

std::string Simulator::onIncrement(int channel, const std::string& data, Clock::time_point)
{
    return setTarget(channel, data, false);
}

std::string Simulator::onAbsolute(int channel, const std::string& data, Clock::time_point)
{
    return setTarget(channel, data, true);
}

std::string Simulator::onStart(int channel, const std::string&, Clock::time_point now)
{
    for (int index : axesOf(channel))
        startMotion(index, now);
    return ok();
}

std::string Simulator::onAuxSet(int, const std::string& data, Clock::time_point)
{
    if (data[0] != '0' && data[0] != '1')
        return error(kErrorBadCharacter);
    aux_ = unsigned(data[0] - '0');
    return ok();
}

std::string Simulator::onAuxGet(int, const std::string&, Clock::time_point)
{
    return ok(std::string(1, hexDigit(aux_)));
}

std::string Simulator::onLinesSet(int, const std::string& data, Clock::time_point)
{
    int bits = hexValue(data[0]);
    if (bits < 0)
        return error(kErrorBadCharacter);
    lines_ = unsigned(bits);
    return ok();
}

std::string Simulator::onLinesGet(int, const std::string&, Clock::time_point)
{
    return ok(std::string(1, hexDigit(lines_)));
}

// Digit a, digit b (checked, not used), then the time in ms as four digits,
// low byte first.
std::string Simulator::onTimerStart(int, const std::string& data, Clock::time_point now)
{
    int a = hexValue(data[0]), b = hexValue(data[1]);
    uint32_t ms;
    if (a < 0 || b < 0 || !decodeLsbFirst(data.substr(2), &ms))
        return error(kErrorBadCharacter);
    timerMs_ = ms;
    timerStart_ = now;
    return ok();
}

std::string Simulator::onTimerRead(int, const std::string&, Clock::time_point now)
{
    return ok(encodeLsbFirst(timerRemaining(now), 2));
}

unsigned Simulator::timerRemaining(Clock::time_point now) const
{
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - timerStart_).count();
    return elapsed >= timerMs_ ? 0 : unsigned(timerMs_ - elapsed);
}
}  // namespace sim
