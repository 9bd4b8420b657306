// The mount simulator's machine: it takes the bytes a client writes to the
// data port, answers each frame as the motor controller would, shapes the
// answers (echo, noise, splitting, pacing, latency, ...) into timed chunks,
// and records every frame and reply. It does no I/O of its own; the main
// loop feeds it bytes and time and writes out the chunks that are due.
//
// Written apart from the engine on purpose: a digit-order fault shared by
// both sides would hide itself in every test.
#pragma once

#include "sim/axis.h"
#include "sim/record.h"
#include "sim/settings.h"

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace sim {

// What the main loop is asked to do with the data port's device.
enum class PortRequest { None, Vanish, Restore };

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
