// A conversation with the mount one frame at a time, for the report and the
// self-test: the port opened through the platform layer as the engine opens
// it (9600 8N1), each frame written and its reply awaited up to a time-out
// before the next goes. Frames are built and replies decoded by the engine's
// own functions (engine/frames.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

enum class Answer {
    Accepted,  // "=" and its data
    Refused,   // "!" and its code
    NoReply,   // nothing whole before the time-out
    Lost       // the device refused the write or the read: it has gone away
};

struct Exchange {
    std::string frame;  // as sent, e.g. ":e1\r"
    // Every byte received for this frame: the reply with its carriage return,
    // or what came before the time-out.
    std::string received;
    Answer answer = Answer::NoReply;
    uint32_t ms = 0;  // from the write to the reply's carriage return

    bool accepted() const { return answer == Answer::Accepted; }
    // The reply from its lead character on, without the carriage return, as
    // the engine's decoders take it (padded with '0' to their positions);
    // empty without a reply.
    std::string reply() const;
};

class MountSession {
public:
    // A controller answers in a few milliseconds; a bridge over the network
    // or a Bluetooth link may take a few hundred.
    static constexpr uint32_t kReplyTimeoutMs = 1000;

    MountSession() = default;
    ~MountSession();
    MountSession(const MountSession&) = delete;
    MountSession& operator=(const MountSession&) = delete;

    // False when the port cannot be opened (platform::serialOpenFailure
    // says why) or an event cannot be made.
    bool open(unsigned port);
    void close();
    bool isOpen() const { return port_ != nullptr; }
    // True once a write or a read has failed: the device has gone away.
    bool lost() const { return lost_; }

    // ":" letter channel data "\r" with up to two data characters.
    Exchange exchange(char letter, int channel, const char* data = "");
    // ":" letter channel and six hex digits of `value`, low byte first.
    Exchange exchangeValue(char letter, int channel, uint32_t value);

    // Every frame and reply of this session, a line each as the trace
    // writes them ("  1204 ms > :e1\r"), for a report saved to a file.
    const std::string& transcript() const { return transcript_; }

    // The camera's shutter on the cable's RTS line, as the engine drives it:
    // RTS raised (DTR low) while open. False when the port has no modem lines.
    bool setShutterLine(bool open);

private:
    Exchange run(const char* frame, int length);
    // Reads until the reply is whole or `deadline`; false when the read failed.
    bool readInto(Exchange* exchange, std::string* reply, uint64_t deadline);

    platform::SerialPort* port_ = nullptr;
    platform::SerialRead* read_ = nullptr;
    platform::Event* writeDone_ = nullptr;
    platform::Event* noStop_ = nullptr;  // never set: a read ends by data or time
    bool readPending_ = false;
    bool lost_ = false;
    std::string transcript_;
};

// The 24-bit value in a reply's six data characters, low byte first.
uint32_t replyValue24(const Exchange& exchange);
// A position reply: counts from the controller's zero (0x800000 on the line).
int32_t replyPosition(const Exchange& exchange);
