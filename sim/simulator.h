// The mount simulator's machine: it takes the bytes a client writes to the
// data port, answers each frame as the motor controller would, shapes the
// answers (echo, noise, splitting, pacing, latency, ...) into timed chunks,
// and records every frame and reply. It does no I/O of its own; the main
// loop feeds it bytes and time and writes out the chunks that are due.
//
// Written apart from the engine on purpose: a digit-order fault shared by
// both sides would hide itself in every test.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

// Error codes the simulated controller answers with ("!" + digit).
constexpr char kErrorUnknownCommand = '0';
constexpr char kErrorDataLength = '1';
constexpr char kErrorMotorNotStopped = '2';
constexpr char kErrorBadCharacter = '3';
constexpr char kErrorNotInitialised = '4';

constexpr uint32_t kDefaultCounts = 1440000;
// The controller's figures a driver reads at connection.
constexpr uint32_t kStepTimerHz = 62500;  // ":b": the step timer's frequency
constexpr unsigned kFastRatio = 16;       // ":g": a fast mode's speed over a slow one's
constexpr unsigned kWormTeeth = 144;      // ":s" is counts per revolution over this
constexpr unsigned kDefaultModel = 0x80;  // ":e": model code in the last two digits
constexpr unsigned kFirmware = 0x0310;    // ":e": major and minor version, first four digits

// What the simulator does beyond plain answers; the defaults answer well.
struct Settings {
    bool silent = false;
    std::vector<std::pair<std::string, std::string>> errors;  // frame prefix, code
    bool echo = false;
    unsigned split = 0;  // bytes per write; 0 writes each answer whole
    bool noise = false;
    unsigned overlong = 0;  // extra data characters in every reply
    uint32_t counts[2] = {kDefaultCounts, kDefaultCounts};
    bool pace = false;  // about 1.04 ms a byte, as at 9600 baud
    unsigned latencyMs = 0;
    bool flood = false;  // noise without end: at line rate when paced, else as fast as the port takes
    bool stall = false;  // read nothing from the port, so its queue fills and writes stop
    unsigned model = kDefaultModel;
    // Faults of an axis's drive, for a self-test to catch; index 0 is axis 1.
    bool stuck[2] = {false, false};     // runs as told, but its position never changes
    bool reversed[2] = {false, false};  // turns against the direction ":G" names
    bool runaway[2] = {false, false};   // ":K" and ":L" are answered, but it runs on
};

// What the main loop is asked to do with the data port's device.
enum class PortRequest { None, Vanish, Restore };

// Applies one setting given as words ("silent 1", "error :a1 05", "counts 2
// 800000", ...). Shared by the command line and the control port.
bool applySetting(Settings& settings, const std::vector<std::string>& words, std::string* why);

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

struct RecordEntry {
    bool received;  // true: a frame came in; false: a reply went out
    uint64_t ms;    // since the simulator started, monotonic
    uint64_t us;    // the same time in microseconds
    std::string bytes;
};

// "rx <ms> <bytes>", or with `microseconds` "rx <us> <bytes>".
std::string formatEntry(const RecordEntry& entry, bool microseconds = false);

// A piece of output, to be written no earlier than `due`.
struct Chunk {
    Clock::time_point due;
    std::string bytes;
    bool endsReply = false;  // its write completes the reply below
    std::string reply;
};

class Simulator {
public:
    Simulator(const Settings& defaults, Clock::time_point start);

    void setLogFile(std::FILE* file) { logFile_ = file; }

    // Bytes from the data port, in order.
    void receive(const char* bytes, size_t count, Clock::time_point now);

    // One control line without its "\n"; returns the answer lines, each
    // ending in "\n", the last "ok" or "error <why>".
    std::string control(const std::string& line, Clock::time_point now);

    // Output waiting for the data port, oldest first.
    std::deque<Chunk>& output() { return output_; }
    // Called when a chunk has been written whole.
    void written(const Chunk& chunk, Clock::time_point now);

    // Set by "reset": the main loop then discards what the port still holds.
    bool takeFlushRequest();
    // Set by "vanish" (the device goes away, as an unplugged adapter does)
    // and "restore" (it comes back under the same links).
    PortRequest takePortRequest();

    // Keeps a flood's noise queued; call before each round of writes.
    void topUpFlood(Clock::time_point now);
    bool stalled() const { return settings_.stall; }

    // Ends the motions that are over by `now` (a goto on its target, a
    // braking axis at rest), logging each; call before anything reads them.
    void advance(Clock::time_point now);
    // When the next motion ends by itself; the far future when none will.
    Clock::time_point nextAxisEvent() const;

    // The machine, for "state".
    const Axis& axis(int index) const { return axes_[index]; }
    unsigned auxOutput() const { return aux_; }
    unsigned adapterLines() const { return lines_; }
    unsigned timerRemaining(Clock::time_point now) const;

private:
    using Handler = std::string (Simulator::*)(int channel, const std::string& data, Clock::time_point now);
    // Which channels a command takes.
    enum Channels { ChannelOne, EitherAxis, EitherOrBoth };
    struct Command {
        char letter;
        Channels channels;
        size_t dataLength;
        bool motion;  // refused ("!4") before the axis's ":F"
        Handler handler;
    };
    static const Command kCommands[];

    void frameComplete(Clock::time_point now);
    std::string answer(const std::string& frame, Clock::time_point now);
    void schedule(const std::string& bytes, Clock::time_point notBefore, const std::string* reply, bool shaped = true);
    void record(bool received, const std::string& bytes, Clock::time_point now);
    void resetMachine();
    static std::vector<int> axesOf(int channel);  // channel 3 is both axes
    void setSpeed(int index);
    void rebaseMotion(Clock::time_point now);
    void startMotion(int index, Clock::time_point now);
    void stopAxis(int index, Clock::time_point now, const char* why);
    void logAxis(int index, const std::string& what, Clock::time_point now);

    std::string onPlain(int channel, const std::string& data, Clock::time_point now);
    std::string onInitialised(int channel, const std::string& data, Clock::time_point now);
    std::string onCounts(int channel, const std::string& data, Clock::time_point now);
    std::string onTimerFrequency(int channel, const std::string& data, Clock::time_point now);
    std::string onHighSpeedRatio(int channel, const std::string& data, Clock::time_point now);
    std::string onWormCounts(int channel, const std::string& data, Clock::time_point now);
    std::string onSiderealPeriod(int channel, const std::string& data, Clock::time_point now);
    std::string onVersion(int channel, const std::string& data, Clock::time_point now);
    std::string onStatus(int channel, const std::string& data, Clock::time_point now);
    std::string onPosition(int channel, const std::string& data, Clock::time_point now);
    std::string onInquiry(int channel, const std::string& data, Clock::time_point now);
    std::string onSetPosition(int channel, const std::string& data, Clock::time_point now);
    std::string onStop(int channel, const std::string& data, Clock::time_point now);
    std::string onBrake(int channel, const std::string& data, Clock::time_point now);
    std::string onSetup(int channel, const std::string& data, Clock::time_point now);
    std::string onRate(int channel, const std::string& data, Clock::time_point now);
    std::string onIncrement(int channel, const std::string& data, Clock::time_point now);
    std::string onAbsolute(int channel, const std::string& data, Clock::time_point now);
    std::string setTarget(int channel, const std::string& data, bool absolute);
    std::string onStart(int channel, const std::string& data, Clock::time_point now);
    std::string onAuxSet(int channel, const std::string& data, Clock::time_point now);
    std::string onAuxGet(int channel, const std::string& data, Clock::time_point now);
    std::string onLinesSet(int channel, const std::string& data, Clock::time_point now);
    std::string onLinesGet(int channel, const std::string& data, Clock::time_point now);
    std::string onTimerStart(int channel, const std::string& data, Clock::time_point now);
    std::string onTimerRead(int channel, const std::string& data, Clock::time_point now);

    const Settings defaults_;
    Settings settings_;
    Clock::time_point start_;
    std::FILE* logFile_ = nullptr;

    // Frame push parser: collecting from ":" up to "\r".
    bool inFrame_ = false;
    bool frameOverflow_ = false;
    std::string frame_;

    Axis axes_[2];
    unsigned aux_ = 0;
    unsigned lines_ = 0;
    unsigned timerMs_ = 0;
    Clock::time_point timerStart_;

    std::deque<Chunk> output_;
    Clock::time_point lineFreeAt_;
    std::vector<RecordEntry> record_;
    bool flushRequested_ = false;
    PortRequest portRequest_ = PortRequest::None;
};

}  // namespace sim
