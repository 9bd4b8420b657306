#include "preflight/mount_session.h"

#include <algorithm>
#include <cstdio>

#include "app/frame_trace.h"
#include "engine/frames.h"

namespace {

// Whole writes of a frame take a few milliseconds; the engine waits as long.
constexpr uint32_t kWriteTimeoutMs = 1000;
// Positions the engine's decoders read: the lead character and six data
// characters.
constexpr size_t kDecodedPositions = 7;
// Appends "<ms> ms <direction> <bytes escaped>" and a newline.
void record(std::string* transcript, char direction, const std::string& bytes)
{
    char line[kTraceLineSize];
    int at = std::snprintf(line, sizeof line, "%6llu ms %c ", static_cast<unsigned long long>(programMilliseconds()),
                           direction);
    if (at < 0)
        return;
    escapeBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), line + at, sizeof line - at);
    *transcript += line;
    *transcript += '\n';
}

// What is kept of the bytes received for a frame: a reply and the noise
// before it.
constexpr size_t kKeptBytes = 64;

}  // namespace

std::string Exchange::reply() const
{
    // The lead character on, as the engine's reply parser cuts it: an echo
    // of a frame (":" up to its end) and noise before the lead are skipped.
    bool echo = false;
    for (size_t i = 0; i < received.size(); ++i) {
        const char c = received[i];
        if (echo) {
            echo = c != kCarriageReturn && c != kLineFeed;
        } else if (c == kFrameStart) {
            echo = true;
        } else if (c == kReplySuccess || c == kReplyError) {
            const size_t end = received.find(kCarriageReturn, i);
            if (end == std::string::npos)
                return std::string();
            std::string reply = received.substr(i, end - i);
            if (reply.size() < kDecodedPositions)
                reply.resize(kDecodedPositions, '0');
            return reply;
        }
    }
    return std::string();
}

uint32_t replyValue24(const Exchange& exchange)
{
    const std::string reply = exchange.reply();
    return reply.empty() ? 0 : static_cast<uint32_t>(decodeValue24(reply.c_str())) & 0xFFFFFF;
}

int32_t replyPosition(const Exchange& exchange)
{
    return static_cast<int32_t>(replyValue24(exchange)) - 0x800000;
}

MountSession::~MountSession()
{
    close();
}

bool MountSession::open(unsigned port)
{
    close();
    lost_ = false;
    transcript_.clear();
    writeDone_ = platform::createEvent(false, false);
    noStop_ = platform::createEvent(true, false);
    if (writeDone_ == nullptr || noStop_ == nullptr) {
        close();
        return false;
    }
    port_ = platform::serialOpen(port);
    if (port_ == nullptr) {
        close();
        return false;
    }
    platform::serialSetLine9600_8N1(port_);
    platform::serialSetReadIntervalTimeouts(port_);
    platform::serialPurge(port_);
    read_ = platform::serialReadCreate(port_);
    if (read_ == nullptr) {
        close();
        return false;
    }
    return true;
}

void MountSession::close()
{
    if (read_ != nullptr)
        platform::serialReadDestroy(read_);
    if (port_ != nullptr) {
        platform::serialPurge(port_);
        platform::serialClose(port_);
    }
    if (writeDone_ != nullptr)
        platform::closeEvent(writeDone_);
    if (noStop_ != nullptr)
        platform::closeEvent(noStop_);
    read_ = nullptr;
    port_ = nullptr;
    writeDone_ = noStop_ = nullptr;
    readPending_ = false;
}

Exchange MountSession::exchange(char letter, int channel, const char* data)
{
    char frame[kMaxFrameLength];
    const char data1 = data[0];
    const char data2 = data1 != '\0' ? data[1] : '\0';
    return run(frame, buildFrame(frame, letter, static_cast<char>('0' + channel), data1, data2));
}

Exchange MountSession::exchangeValue(char letter, int channel, uint32_t value)
{
    char frame[kMaxFrameLength];
    return run(frame, buildValueFrame(frame, channel, letter, static_cast<int32_t>(value)));
}

Exchange MountSession::run(const char* frame, int length)
{
    Exchange exchange;
    exchange.frame.assign(frame, static_cast<size_t>(length > 0 ? length : 0));
    if (port_ == nullptr || lost_ || length <= 0) {
        exchange.answer = Answer::Lost;
        return exchange;
    }
    const uint64_t start = platform::nowMilliseconds();
    record(&transcript_, '>', exchange.frame);
    const platform::WaitResult written = platform::serialWrite(
        port_, writeDone_, reinterpret_cast<const uint8_t*>(frame), static_cast<uint32_t>(length), kWriteTimeoutMs);
    if (written == platform::WaitFailed) {
        lost_ = true;
        exchange.answer = Answer::Lost;
        return exchange;
    }
    // A write that ran out of time may still have gone out: wait for a reply.
    std::string reply;
    if (!readInto(&exchange, &reply, start + kReplyTimeoutMs)) {
        lost_ = true;
        exchange.answer = Answer::Lost;
        return exchange;
    }
    exchange.ms = static_cast<uint32_t>(platform::nowMilliseconds() - start);
    if (!exchange.received.empty())
        record(&transcript_, '<', exchange.received);
    if (reply.empty())
        exchange.answer = Answer::NoReply;
    else
        exchange.answer = reply[0] == kReplySuccess ? Answer::Accepted : Answer::Refused;
    return exchange;
}

bool MountSession::readInto(Exchange* exchange, std::string* reply, uint64_t deadline)
{
    for (;;) {
        *reply = exchange->reply();
        if (!reply->empty())
            return true;
        const uint64_t now = platform::nowMilliseconds();
        if (now >= deadline)
            return true;
        uint32_t received = 0;
        bool got = false;
        if (!readPending_) {
            if (platform::serialReadStart(read_, &received) == platform::ReadCompleted) {
                got = true;
                if (received == 0)
                    platform::sleepMilliseconds(10);  // a gone device reads nothing: no busy loop
            } else {
                readPending_ = true;
            }
        }
        if (readPending_) {
            const platform::WaitResult wait =
                platform::serialReadWait(read_, noStop_, static_cast<uint32_t>(deadline - now));
            if (wait == platform::WaitTimeout)
                continue;  // the read stays pending for the next frame
            if (wait != platform::WaitFirst)
                return false;
            readPending_ = false;
            if (!platform::serialReadResult(read_, &received))
                return false;
            got = true;
        }
        if (got && received > 0) {
            exchange->received.append(reinterpret_cast<const char*>(platform::serialReadData(read_)), received);
            // Noise before a reply: the latest bytes are kept, where the
            // reply will be.
            if (exchange->received.size() > kKeptBytes)
                exchange->received.erase(0, exchange->received.size() - kKeptBytes);
        }
    }
}

bool MountSession::setShutterLine(bool open)
{
    if (port_ == nullptr)
        return false;
    const bool dtr = platform::serialEscape(port_, platform::ClearDtr);
    return platform::serialEscape(port_, open ? platform::SetRts : platform::ClearRts) && dtr;
}
