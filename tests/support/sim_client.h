// Steers the mount simulator through its control port (COM8 unless told
// otherwise): one command line out, answer lines back up to "ok" or
// "error <why>". Goes through the platform layer, so the same client works
// natively and under wine. One client per control port at a time: the port
// is opened exclusively.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

class SimClient {
public:
    static constexpr unsigned kDefaultControlPort = 8;
    // Long enough for a loaded machine; a live simulator answers in a few ms.
    static constexpr uint32_t kAnswerTimeoutMs = 10000;

    SimClient() = default;
    ~SimClient();
    SimClient(const SimClient&) = delete;
    SimClient& operator=(const SimClient&) = delete;

    bool open(unsigned controlPort = kDefaultControlPort);
    bool isOpen() const { return port_ != nullptr; }
    void close();

    // Sends one command; true when it was answered "ok". The lines before
    // "ok" go to *lines; lastError() tells what went wrong otherwise.
    bool command(const std::string& line, std::vector<std::string>* lines = nullptr);
    const std::string& lastError() const { return lastError_; }

    // Back to the simulator's start-up behaviour; clears its record and its
    // machine (axes, outputs, timer).
    bool reset();
    bool setSilent(bool on);
    // Frames starting with `prefix` (e.g. ":a1") are answered "!" + code.
    bool setError(const std::string& prefix, const std::string& code);
    bool clearErrors();
    bool setEcho(bool on);
    bool setSplit(unsigned bytes);  // 0 writes replies whole
    bool setNoise(bool on);
    bool setOverlong(unsigned extraCharacters);
    bool setCounts(int axis, uint32_t countsPerRevolution);
    bool setPace(bool on);
    bool setLatency(unsigned milliseconds);
    // Noise without end; at 9600 baud when paced, else as fast as the port takes.
    bool setFlood(bool on);
    // Reads nothing from the data port, so its queue fills and writes stop.
    bool setStall(bool on);
    // Faults of axis 1 or 2's drive: it runs as told but its position stays;
    // it turns against the direction ":G" names; it runs on after ":K"/":L".
    bool setStuck(int axis, bool on);
    bool setReversed(int axis, bool on);
    bool setRunaway(int axis, bool on);
    // The data port's device goes away (as unplugged) and comes back.
    bool vanish();
    bool restore();
    bool clearLog();
    // Writes bytes to the data port as they are.
    bool say(const std::string& bytes);

    struct Entry {
        bool received;  // a frame the simulator received; otherwise a reply it sent
        uint64_t ms;    // since the simulator started
        uint64_t us;    // the same in microseconds, when asked for
        std::string bytes;
    };
    // Everything recorded since the last reset or clearLog, oldest first;
    // with `microseconds` the times are to the microsecond.
    std::vector<Entry> log(bool microseconds = false);
    // The simulator's clock (that of the log) in microseconds, and when asked
    // the system's monotonic clock at the same moment; false on error.
    bool clock(uint64_t* microseconds, uint64_t* monotonicMicroseconds = nullptr);
    // The frames received, e.g. ":F1\r", and the replies sent, e.g. "=\r".
    std::vector<std::string> frames();
    std::vector<std::string> replies();
    // True once at least `count` frames have been received.
    bool waitForFrames(size_t count, uint32_t timeoutMs);
    // Lines like "axis1 stopped", "axis2 moving mode=3 reverse=1 rate=70",
    // "aux 1", "lines 3", "timer 742".
    std::vector<std::string> state();

    // One axis as the simulator's control line reads it.
    struct Axis {
        int64_t position = 0;  // counts from the controller's zero
        bool running = false;
        unsigned mode = 0;  // as ":G" set it
        bool reverse = false;
        uint32_t rate = 0;
        bool initialised = false;
    };
    bool axis(int number, Axis* out);
    // Which way the axis turns: +1 while its position grows, -1 while it
    // shrinks, 0 when it stands still (a second look after `settleMs` finds
    // it where it was and not running). False when it cannot be read.
    bool axisMotion(int number, int* direction, uint32_t settleMs = 50);

    // The control protocol's spelling of bytes: \r, \n, \\ and \xHH.
    static std::string escape(const std::string& bytes);
    static bool unescape(const std::string& text, std::string* bytes);

private:
    bool readLine(std::string* line, uint64_t deadline);
    bool fail(const std::string& why);

    platform::SerialPort* port_ = nullptr;
    platform::SerialRead* read_ = nullptr;
    platform::Event* writeDone_ = nullptr;
    platform::Event* noStop_ = nullptr;  // never set: reads end by data or time
    bool readPending_ = false;
    std::string received_;  // bytes not yet taken as a line
    std::string lastError_;
};
