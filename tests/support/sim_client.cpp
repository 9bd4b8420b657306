#include "tests/support/sim_client.h"

#include "sim/control_text.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr uint32_t kWriteTimeoutMs = 2000;
constexpr uint32_t kLogPollMs = 20;

}  // namespace

SimClient::~SimClient()
{
    close();
}

bool SimClient::open(unsigned controlPort)
{
    close();
    port_ = platform::serialOpen(controlPort);
    if (!port_)
        return fail("cannot open the control port COM" + std::to_string(controlPort));
    platform::serialSetLine9600_8N1(port_);
    platform::serialSetReadIntervalTimeouts(port_);
    platform::serialPurge(port_);
    read_ = platform::serialReadCreate(port_);
    writeDone_ = platform::createEvent(false, false);
    noStop_ = platform::createEvent(true, false);
    return true;
}

void SimClient::close()
{
    if (read_)
        platform::serialReadDestroy(read_);
    if (port_)
        platform::serialClose(port_);
    if (writeDone_)
        platform::closeEvent(writeDone_);
    if (noStop_)
        platform::closeEvent(noStop_);
    read_ = nullptr;
    port_ = nullptr;
    writeDone_ = noStop_ = nullptr;
    readPending_ = false;
    received_.clear();
}

bool SimClient::fail(const std::string& why)
{
    lastError_ = why;
    return false;
}

// One line without its "\n", or false when none came before the deadline.
bool SimClient::readLine(std::string* line, uint64_t deadline)
{
    for (;;) {
        size_t end = received_.find('\n');
        if (end != std::string::npos) {
            *line = received_.substr(0, end);
            received_.erase(0, end + 1);
            if (!line->empty() && line->back() == '\r')
                line->pop_back();
            return true;
        }
        uint64_t now = platform::nowMilliseconds();
        if (now >= deadline)
            return false;
        uint32_t received = 0;
        bool got = false;
        if (!readPending_) {
            if (platform::serialReadStart(read_, &received) == platform::ReadCompleted) {
                got = true;
                if (received == 0)
                    platform::sleepMilliseconds(1);  // no busy loop on empty reads
            } else {
                readPending_ = true;
            }
        }
        if (readPending_) {
            platform::WaitResult wait = platform::serialReadWait(read_, noStop_, static_cast<uint32_t>(deadline - now));
            if (wait == platform::WaitTimeout)
                return false;  // the read stays pending
            if (wait != platform::WaitFirst)
                return false;
            readPending_ = false;
            if (!platform::serialReadResult(read_, &received))
                return false;
            got = true;
        }
        if (got && received > 0) {
            received_.append(reinterpret_cast<const char*>(platform::serialReadData(read_)), received);
        }
    }
}

bool SimClient::command(const std::string& line, std::vector<std::string>* lines)
{
    if (lines)
        lines->clear();
    if (!port_)
        return fail("control port not open");
    // An answer left over from a command that timed out belongs to no one.
    received_.clear();
    std::string out = line + "\n";
    if (platform::serialWrite(port_, writeDone_, reinterpret_cast<const uint8_t*>(out.data()),
                              static_cast<uint32_t>(out.size()), kWriteTimeoutMs) != platform::WaitFirst) {
        return fail("cannot write '" + line + "' to the control port");
    }
    const uint64_t deadline = platform::nowMilliseconds() + kAnswerTimeoutMs;
    for (std::string answer; readLine(&answer, deadline);) {
        if (answer == "ok")
            return true;
        if (answer.compare(0, 5, "error") == 0)
            return fail("'" + line + "': " + answer);
        if (lines)
            lines->push_back(answer);
    }
    return fail("no answer to '" + line + "'");
}

bool SimClient::reset()
{
    return command("reset");
}
bool SimClient::setSilent(bool on)
{
    return command(on ? "silent 1" : "silent 0");
}
bool SimClient::setError(const std::string& prefix, const std::string& code)
{
    return command("error " + prefix + " " + code);
}
bool SimClient::clearErrors()
{
    return command("error clear");
}
bool SimClient::setEcho(bool on)
{
    return command(on ? "echo 1" : "echo 0");
}
bool SimClient::setSplit(unsigned bytes)
{
    return command("split " + std::to_string(bytes));
}
bool SimClient::setNoise(bool on)
{
    return command(on ? "noise 1" : "noise 0");
}
bool SimClient::setOverlong(unsigned extra)
{
    return command("overlong " + std::to_string(extra));
}
bool SimClient::setCounts(int axis, uint32_t counts)
{
    return command("counts " + std::to_string(axis) + " " + std::to_string(counts));
}
bool SimClient::setPace(bool on)
{
    return command(on ? "pace 1" : "pace 0");
}
bool SimClient::setLatency(unsigned ms)
{
    return command("latency " + std::to_string(ms));
}
bool SimClient::setFlood(bool on)
{
    return command(on ? "flood 1" : "flood 0");
}
bool SimClient::setStall(bool on)
{
    return command(on ? "stall 1" : "stall 0");
}
bool SimClient::setStuck(int axis, bool on)
{
    return command("stuck " + std::to_string(axis) + (on ? " 1" : " 0"));
}
bool SimClient::setReversed(int axis, bool on)
{
    return command("reversed " + std::to_string(axis) + (on ? " 1" : " 0"));
}
bool SimClient::setRunaway(int axis, bool on)
{
    return command("runaway " + std::to_string(axis) + (on ? " 1" : " 0"));
}
bool SimClient::vanish()
{
    return command("vanish");
}
bool SimClient::restore()
{
    return command("restore");
}
bool SimClient::clearLog()
{
    return command("clearlog");
}
bool SimClient::say(const std::string& bytes)
{
    return command("say " + escape(bytes));
}

bool SimClient::clock(uint64_t* microseconds, uint64_t* monotonicMicroseconds)
{
    std::vector<std::string> lines;
    if (!command("time", &lines) || lines.size() != 1 || lines[0].compare(0, 5, "time ") != 0)
        return false;
    char* end = nullptr;
    *microseconds = std::strtoull(lines[0].c_str() + 5, &end, 10);
    if (monotonicMicroseconds)
        *monotonicMicroseconds = std::strtoull(end, nullptr, 10);
    return true;
}

std::vector<SimClient::Entry> SimClient::log(bool microseconds)
{
    std::vector<std::string> lines;
    std::vector<Entry> entries;
    if (!command(microseconds ? "log us" : "log", &lines))
        return entries;
    for (const std::string& line : lines) {
        // "rx <ms> <bytes>" or "tx <ms> <bytes>"
        size_t space = line.find(' ', 3);
        Entry entry;
        entry.received = line.compare(0, 3, "rx ") == 0;
        const uint64_t time = std::strtoull(line.substr(3, space - 3).c_str(), nullptr, 10);
        entry.ms = microseconds ? time / 1000 : time;
        entry.us = microseconds ? time : time * 1000;
        if (space == std::string::npos || !unescape(line.substr(space + 1), &entry.bytes)) {
            fail("malformed log line: " + line);
            continue;
        }
        entries.push_back(entry);
    }
    return entries;
}

std::vector<std::string> SimClient::frames()
{
    std::vector<std::string> out;
    for (const Entry& entry : log()) {
        if (entry.received)
            out.push_back(entry.bytes);
    }
    return out;
}

std::vector<std::string> SimClient::replies()
{
    std::vector<std::string> out;
    for (const Entry& entry : log()) {
        if (!entry.received)
            out.push_back(entry.bytes);
    }
    return out;
}

bool SimClient::waitForFrames(size_t count, uint32_t timeoutMs)
{
    const uint64_t deadline = platform::nowMilliseconds() + timeoutMs;
    for (;;) {
        if (frames().size() >= count)
            return true;
        if (platform::nowMilliseconds() >= deadline) {
            return fail("fewer than " + std::to_string(count) + " frames in time");
        }
        platform::sleepMilliseconds(kLogPollMs);
    }
}

std::vector<std::string> SimClient::state()
{
    std::vector<std::string> lines;
    command("state", &lines);
    return lines;
}

bool SimClient::axis(int number, Axis* out)
{
    std::vector<std::string> lines;
    if (!command("axis " + std::to_string(number), &lines))
        return false;
    long long position = 0;
    unsigned running = 0, mode = 0, reverse = 0, rate = 0, initialised = 0;
    const std::string format =
        "axis" + std::to_string(number) + " position=%lld running=%u mode=%u reverse=%u rate=%u initialised=%u";
    if (lines.size() != 1 ||
        std::sscanf(lines[0].c_str(), format.c_str(), &position, &running, &mode, &reverse, &rate, &initialised) != 6) {
        return fail("unexpected axis reading: " + (lines.empty() ? std::string() : lines[0]));
    }
    *out = Axis{position, running != 0, mode, reverse != 0, rate, initialised != 0};
    return true;
}

bool SimClient::axisMotion(int number, int* direction, uint32_t settleMs)
{
    Axis first, second;
    if (!axis(number, &first))
        return false;
    platform::sleepMilliseconds(settleMs);
    if (!axis(number, &second))
        return false;
    if (second.position == first.position && (first.running || second.running))
        return fail("axis " + std::to_string(number) + " runs but stays at " + std::to_string(first.position));
    *direction = second.position > first.position ? 1 : second.position < first.position ? -1 : 0;
    return true;
}

std::string SimClient::escape(const std::string& bytes)
{
    return sim::escapeBytes(bytes);
}

bool SimClient::unescape(const std::string& text, std::string* bytes)
{
    return sim::unescapeBytes(text, bytes);
}
