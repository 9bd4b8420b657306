// What both fuzz targets share: an engine whose device is a check instead of
// a port, and the invariants every input must keep.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/interfaces.h"
#include "engine/engine_message.h"
#include "engine/frames.h"
#include "tests/support/engine_test_seam.h"

namespace fuzz {

// Stops the run with a message libFuzzer shows next to the input.
[[noreturn]] inline void broken(const char* what, const std::string& detail = std::string())
{
    std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
    std::abort();
}

inline bool isUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

inline bool allUpperHex(const std::string& text, size_t from, size_t count)
{
    for (size_t i = from; i < from + count; ++i) {
        if (!isUpperHex(text[i]))
            return false;
    }
    return true;
}

// True for exactly the frames the engine may send.
inline bool isEngineFrame(const std::string& f)
{
    if (f.size() < 4 || f[0] != kFrameStart || f.back() != kCarriageReturn)
        return false;
    const char letter = f[1], channel = f[2];
    const bool axis = channel == '1' || channel == '2';
    switch (f.size()) {
    case 4:
        return ((letter == 'F' || letter == 'a' || letter == 'D' || letter == 'L' || letter == 'J') && axis) ||
               ((letter == 'o' || letter == 'x' || letter == 't') && channel == '1');
    case 5:
        return channel == '1' &&
               ((letter == 'O' && (f[3] == '0' || f[3] == '1')) || (letter == 'X' && isUpperHex(f[3])));
    case 6:
        return letter == 'G' && axis && f[3] == '3' && (f[4] == '0' || f[4] == '1');
    case 10:
        return (letter == 'I' && axis && allUpperHex(f, 3, 6)) ||
               (letter == 'T' && channel == '1' && allUpperHex(f, 3, 6));
    default:
        return false;
    }
}

inline bool isDefinedProtocolState(int32_t state)
{
    return state == Idle || (state >= Ready && state <= TimerRead);
}

// Every state the protocol can be in, for the targets to start from.
constexpr int32_t kProtocolStates[] = {Idle,
                                       Ready,
                                       HandshakeF1,
                                       HandshakeF2,
                                       HandshakeCounts1,
                                       HandshakeD1,
                                       HandshakeCounts2,
                                       HandshakeD2,
                                       StopBoth,
                                       MoveStop2,
                                       MoveMode2,
                                       MoveRate2,
                                       MoveStop1,
                                       MoveMode1,
                                       MoveRate1,
                                       QueryRemoteOutput,
                                       QueryRemoteAdapter,
                                       TimerRead};
constexpr size_t kProtocolStateCount = sizeof kProtocolStates / sizeof kProtocolStates[0];

class NullListener : public TelescopeListener {
public:
    void onStatus(int code) override
    {
        if (code < 0 || code > 12 || code == 0 || code == 2)
            broken("status code", std::to_string(code));
    }
    void onDslrRemoteState(int, int) override {}
    void onDslrTimerState(int, int) override {}
};

// The engine with its device replaced by checks. Its thread idles on an
// empty pipe while the target drives its steps.
class CheckedEngine : public EngineTestSeam {
public:
    explicit CheckedEngine(TelescopeListener* listener) : EngineTestSeam(listener) {}

    bool openPort(unsigned) override { return false; }
    platform::WaitResult writePort(const uint8_t* buffer, uint32_t count) override
    {
        const std::string frame(reinterpret_cast<const char*>(buffer), count);
        if (!isEngineFrame(frame))
            broken("frame", frame);
        return platform::WaitFirst;
    }
    void setModemLines(int value) override
    {
        if (value != 0 && value != 2)
            broken("modem lines", std::to_string(value));
    }

    // The engine in the given states. A move under way has the set-up that
    // starting it stored (mode 3, a direction, a rate of the speed table).
    void reset(int32_t protocol, int32_t reply, bool open, bool ready, int32_t countdown, uint8_t move = 0)
    {
        static const int32_t kRates[] = {140, 100, 70, 50, 35, 25};
        move1Mode = move2Mode = 3;
        move1Reverse = move & 1;
        move2Reverse = (move >> 1) & 1;
        move1Rate = kRates[(move >> 2) % 6];
        move2Rate = kRates[(move >> 5) % 6];
        protocolState = protocol;
        replyState = reply;
        replyLength = 0;
        messageState = 0;
        messageCount = 0;
        messageLength = 0;
        portOpen = open;
        mountReady = ready;
        heartbeatCountdown = countdown;
    }

    void checkInvariants()
    {
        if (replyLength < 0 || replyLength > kReplyBufferSize)
            broken("reply length", std::to_string(replyLength));
        if (replyState < SeekLead || replyState > SkipEcho)
            broken("reply state", std::to_string(replyState));
        if (!isDefinedProtocolState(protocolState))
            broken("protocol state", std::to_string(protocolState));
        if (messageState != 0 && messageState != 1)
            broken("message state", std::to_string(messageState));
        if (messageCount < 0 || messageCount > kMaxEngineMessage || messageLength > kMaxEngineMessage)
            broken("engine message longer than 32 bytes", std::to_string(messageCount));
        if (mountReady && !portOpen)
            broken("ready without an open port");
    }
};

// One engine for the whole run: its thread and pipe are made once.
inline CheckedEngine& engine()
{
    static NullListener listener;
    static CheckedEngine* instance = new CheckedEngine(&listener);
    return *instance;
}

}  // namespace fuzz
