#include "sim/simulator.h"

#include "sim/control_text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {

constexpr size_t kMaxFrame = 32;  // longer input is answered as a length error
constexpr auto kSplitGap = std::chrono::milliseconds(10);
constexpr auto kByteTime = std::chrono::microseconds(1042);  // 10 bits at 9600 baud
// Between replies: none of "=", "!" or ":", so a sound parser skips them.
const std::string kNoise = "\n#\x7F";
// A flood is queued in blocks of this many bytes (one chunk each when not paced).
constexpr size_t kFloodBlock = 256;
// A stop with ":K" in a fast mode slows the axis to rest over this time.
constexpr auto kBrakeTime = std::chrono::milliseconds(200);
constexpr uint64_t kNanosecondsPerTick = 1000000000 / kStepTimerHz;
// A fast goto turns the axis at 10 degrees a second whatever its gearing.
constexpr uint64_t kGotoSecondsPerRevolution = 36;
constexpr int64_t kPositionZero = 0x800000;  // the controller's zero on the line
constexpr double kSiderealDaySeconds = 86164.0905;

char hexDigit(unsigned nibble)
{
    return "0123456789ABCDEF"[nibble & 15];
}

// Only the upper-case digits that a controller sends and expects.
int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Values on the line: least significant byte first, each byte high nibble first.
std::string encodeLsbFirst(uint32_t value, int bytes)
{
    std::string out;
    for (int i = 0; i < bytes; ++i) {
        unsigned byte = (value >> (8 * i)) & 0xFF;
        out += hexDigit(byte >> 4);
        out += hexDigit(byte);
    }
    return out;
}

bool decodeLsbFirst(const std::string& digits, uint32_t* value)
{
    uint32_t result = 0;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        int high = hexValue(digits[i]), low = hexValue(digits[i + 1]);
        if (high < 0 || low < 0)
            return false;
        result |= uint32_t(high * 16 + low) << (8 * (i / 2));
    }
    *value = result;
    return true;
}

std::string ok(const std::string& data = "")
{
    return "=" + data + "\r";
}

std::string error(char code)
{
    return std::string("!") + code + "\r";
}

bool parseUnsigned(const std::string& text, unsigned long max, unsigned long* value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (errno != 0 || v > max)
        return false;
    *value = v;
    return true;
}

bool parseFlag(const std::vector<std::string>& words, bool* flag, std::string* why)
{
    if (words.size() != 2 || (words[1] != "0" && words[1] != "1")) {
        *why = "usage: " + words[0] + " 0|1";
        return false;
    }
    *flag = words[1] == "1";
    return true;
}

// "<name> <1|2> 0|1": a fault of one axis's drive.
bool parseAxisFlag(const std::vector<std::string>& words, bool (&flags)[2], std::string* why)
{
    if (words.size() != 3 || (words[1] != "1" && words[1] != "2") || (words[2] != "0" && words[2] != "1")) {
        *why = "usage: " + words[0] + " <axis 1|2> 0|1";
        return false;
    }
    flags[words[1][0] - '1'] = words[2] == "1";
    return true;
}

bool parseCount(const std::vector<std::string>& words, unsigned* count, std::string* why)
{
    unsigned long v;
    if (words.size() != 2 || !parseUnsigned(words[1], 100000, &v)) {
        *why = "usage: " + words[0] + " <n>";
        return false;
    }
    *count = unsigned(v);
    return true;
}

}  // namespace

bool applySetting(Settings& s, const std::vector<std::string>& words, std::string* why)
{
    const std::string& name = words.empty() ? std::string() : words[0];
    if (name == "silent")
        return parseFlag(words, &s.silent, why);
    if (name == "echo")
        return parseFlag(words, &s.echo, why);
    if (name == "noise")
        return parseFlag(words, &s.noise, why);
    if (name == "pace")
        return parseFlag(words, &s.pace, why);
    if (name == "flood")
        return parseFlag(words, &s.flood, why);
    if (name == "stall")
        return parseFlag(words, &s.stall, why);
    if (name == "stuck")
        return parseAxisFlag(words, s.stuck, why);
    if (name == "reversed")
        return parseAxisFlag(words, s.reversed, why);
    if (name == "runaway")
        return parseAxisFlag(words, s.runaway, why);
    if (name == "split")
        return parseCount(words, &s.split, why);
    if (name == "overlong")
        return parseCount(words, &s.overlong, why);
    if (name == "latency")
        return parseCount(words, &s.latencyMs, why);
    if (name == "error") {
        if (words.size() == 2 && words[1] == "clear") {
            s.errors.clear();
            return true;
        }
        if (words.size() != 3 || words[1].empty() || words[2].empty()) {
            *why = "usage: error <frame-prefix> <code> | error clear";
            return false;
        }
        for (auto& rule : s.errors) {
            if (rule.first == words[1]) {
                rule.second = words[2];
                return true;
            }
        }
        s.errors.emplace_back(words[1], words[2]);
        return true;
    }
    if (name == "model") {
        // Two hex digits, as ":e" ends with them.
        if (words.size() != 2 || words[1].size() != 2 || hexValue(words[1][0]) < 0 || hexValue(words[1][1]) < 0) {
            *why = "usage: model <two hex digits, 00..FF>";
            return false;
        }
        s.model = unsigned(hexValue(words[1][0]) * 16 + hexValue(words[1][1]));
        return true;
    }
    if (name == "counts") {
        unsigned long axis, value;
        if (words.size() != 3 || !parseUnsigned(words[1], 2, &axis) || axis < 1 ||
            !parseUnsigned(words[2], 0xFFFFFF, &value)) {
            *why = "usage: counts <axis 1|2> <value 0..16777215>";
            return false;
        }
        s.counts[axis - 1] = uint32_t(value);
        return true;
    }
    *why = "unknown command " + name;
    return false;
}

std::string formatEntry(const RecordEntry& entry, bool microseconds)
{
    return std::string(entry.received ? "rx " : "tx ") + std::to_string(microseconds ? entry.us : entry.ms) + " " +
           escapeBytes(entry.bytes);
}

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

Simulator::Simulator(const Settings& defaults, Clock::time_point start)
    : defaults_(defaults), settings_(defaults), start_(start), lineFreeAt_(start)
{
}

void Simulator::receive(const char* bytes, size_t count, Clock::time_point now)
{
    for (size_t i = 0; i < count; ++i) {
        char c = bytes[i];
        if (c == ':') {
            // A new frame; an unfinished one before it was noise.
            inFrame_ = true;
            frameOverflow_ = false;
            frame_ = ":";
        } else if (!inFrame_) {
            // Between frames: line feeds and stray bytes mean nothing.
        } else if (c == '\r') {
            frame_ += c;
            frameComplete(now);
            inFrame_ = false;
        } else if (frame_.size() < kMaxFrame) {
            frame_ += c;
        } else {
            frameOverflow_ = true;
        }
    }
}

void Simulator::frameComplete(Clock::time_point now)
{
    record(true, frame_, now);
    if (settings_.silent)
        return;
    advance(now);
    if (settings_.echo)
        schedule(frame_, now, nullptr);
    std::string reply = frameOverflow_ ? error(kErrorDataLength) : answer(frame_, now);
    if (settings_.overlong > 0) {
        std::string extra;
        for (unsigned i = 0; i < settings_.overlong; ++i)
            extra += char('0' + i % 10);
        reply.insert(reply.size() - 1, extra);
    }
    std::string bytes = (settings_.noise ? kNoise : std::string()) + reply;
    schedule(bytes, now + std::chrono::milliseconds(settings_.latencyMs), &reply);
}

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

// Queues bytes behind whatever is already waiting; `shaped` bytes go out in
// pieces and at the pace the settings ask. `reply` is recorded when the last
// piece has been written.
void Simulator::schedule(const std::string& bytes, Clock::time_point notBefore, const std::string* reply, bool shaped)
{
    Clock::time_point t = std::max(notBefore, lineFreeAt_);
    bool pace = shaped && settings_.pace;
    size_t step = shaped && settings_.split > 0 ? settings_.split : bytes.size();
    for (size_t i = 0; i < bytes.size(); i += step) {
        if (i > 0)
            t += kSplitGap;
        std::string piece = bytes.substr(i, step);
        if (pace) {
            for (char c : piece) {
                output_.push_back(Chunk{t, std::string(1, c), false, {}});
                t += kByteTime;
            }
        } else {
            output_.push_back(Chunk{t, piece, false, {}});
        }
    }
    lineFreeAt_ = t;
    if (reply && !output_.empty()) {
        output_.back().endsReply = true;
        output_.back().reply = *reply;
    }
}

void Simulator::written(const Chunk& chunk, Clock::time_point now)
{
    if (chunk.endsReply)
        record(false, chunk.reply, now);
}

void Simulator::record(bool received, const std::string& bytes, Clock::time_point now)
{
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - start_).count();
    record_.push_back(RecordEntry{received, uint64_t(us / 1000), uint64_t(us), bytes});
    if (logFile_) {
        std::fprintf(logFile_, "%s\n", formatEntry(record_.back()).c_str());
        std::fflush(logFile_);
    }
}

// ---- Motion ----------------------------------------------------------------------

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

void Simulator::resetMachine()
{
    settings_ = defaults_;
    for (Axis& axis : axes_)
        axis = Axis();
    aux_ = lines_ = 0;
    timerMs_ = 0;
    inFrame_ = frameOverflow_ = false;
    frame_.clear();
    output_.clear();
    record_.clear();
    flushRequested_ = true;
    portRequest_ = PortRequest::Restore;  // a vanished device is back
}

bool Simulator::takeFlushRequest()
{
    bool requested = flushRequested_;
    flushRequested_ = false;
    return requested;
}

PortRequest Simulator::takePortRequest()
{
    PortRequest request = portRequest_;
    portRequest_ = PortRequest::None;
    return request;
}

void Simulator::topUpFlood(Clock::time_point now)
{
    // Paced, each byte is a chunk of its own; a few blocks ahead are enough.
    if (!settings_.flood)
        return;
    std::string block;
    while (block.size() < kFloodBlock)
        block += kNoise;
    while (output_.size() < (settings_.pace ? kFloodBlock : 4))
        schedule(block, now, nullptr);
}

std::string Simulator::control(const std::string& line, Clock::time_point now)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.empty())
        return "error empty command\n";
    const std::string& name = words[0];
    std::string out;
    advance(now);
    if (name == "reset") {
        resetMachine();
        lineFreeAt_ = now;
    } else if (name == "log") {
        // "log us": the times in microseconds, for the benchmarks.
        const bool micro = words.size() > 1 && words[1] == "us";
        for (const RecordEntry& entry : record_)
            out += formatEntry(entry, micro) + "\n";
    } else if (name == "time") {
        // The simulator's clock, as the record counts it, in microseconds.
        // Then the monotonic clock itself, which a native client shares.
        const Clock::time_point at = Clock::now();
        out +=
            "time " + std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(at - start_).count()) + " " +
            std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count()) + "\n";
    } else if (name == "vanish" || name == "restore") {
        portRequest_ = name == "vanish" ? PortRequest::Vanish : PortRequest::Restore;
    } else if (name == "clearlog") {
        record_.clear();
    } else if (name == "state") {
        for (int i = 0; i < 2; ++i) {
            const Axis& axis = axes_[i];
            out += "axis" + std::to_string(i + 1);
            if (axis.moving) {
                out += " moving mode=" + std::to_string(axis.mode) + " reverse=" + std::to_string(axis.reverse) +
                       " rate=" + std::to_string(axis.rate) + "\n";
            } else {
                out += " stopped\n";
            }
        }
        out += "aux " + std::to_string(aux_) + "\n";
        out += "lines " + std::to_string(lines_) + "\n";
        out += "timer " + std::to_string(timerRemaining(now)) + "\n";
    } else if (name == "axis") {
        // One axis as a driver would find it, the position signed from zero.
        if (words.size() != 2 || (words[1] != "1" && words[1] != "2"))
            return "error usage: axis 1|2\n";
        const Axis& axis = axes_[words[1][0] - '1'];
        out += "axis" + words[1] + " position=" + std::to_string(axisPosition(axis, now)) +
               " running=" + std::to_string(axis.moving) + " mode=" + std::to_string(axis.mode) +
               " reverse=" + std::to_string(axis.reverse) + " rate=" + std::to_string(axis.rate) +
               " initialised=" + std::to_string(axis.initialised) + "\n";
    } else if (name == "say") {
        // The rest of the line, spaces included.
        size_t at = line.find("say") + 3;
        if (at < line.size() && line[at] == ' ')
            ++at;
        std::string bytes;
        if (!unescapeBytes(line.substr(at), &bytes))
            return "error bad escape\n";
        schedule(bytes, now, nullptr, false);
    } else {
        std::string why;
        if (!applySetting(settings_, words, &why))
            return "error " + why + "\n";
        rebaseMotion(now);
    }
    return out + "ok\n";
}

}  // namespace sim
