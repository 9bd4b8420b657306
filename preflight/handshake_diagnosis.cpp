#include "preflight/handshake_diagnosis.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "app/frame_trace.h"
#include "engine/frames.h"

namespace {

// What a few replies hold; a flood beyond it tells nothing more.
constexpr size_t kKeptBytes = 48;
// Bytes shown in the line, which must fit one line of standard error.
constexpr size_t kShownBytes = 24;

// Frames are written on the engine thread, bytes read on the port reader's.
std::mutex watchLock;
std::string lastFrame;
std::string receivedSince;
int answered = 0;
bool lastAnswered = false;

std::string escaped(const std::string& bytes)
{
    char text[4 * kShownBytes + 1];
    escapeBytes(reinterpret_cast<const uint8_t*>(bytes.data()), std::min(bytes.size(), kShownBytes), text, sizeof text);
    return bytes.size() > kShownBytes ? std::string(text) + "..." : std::string(text);
}

// A whole reply of this protocol: a lead character, its data and a carriage
// return, after an echo of the frame if one came.
bool holdsReply(const std::string& bytes, const std::string& frame)
{
    const size_t from = bytes.compare(0, frame.size(), frame) == 0 ? frame.size() : 0;
    const size_t lead = bytes.find_first_of("=!", from);
    return lead != std::string::npos && bytes.find(kCarriageReturn, lead) != std::string::npos;
}

void observe(const char* operation, long, bool succeeded, const uint8_t* bytes, uint32_t count)
{
    if (!succeeded || bytes == nullptr)
        return;
    const std::string piece(reinterpret_cast<const char*>(bytes), count);
    std::lock_guard<std::mutex> hold(watchLock);
    if (std::strcmp(operation, "write") == 0 && !piece.empty() && piece[0] == kFrameStart) {
        lastFrame = piece;
        receivedSince.clear();
        lastAnswered = false;
    } else if (std::strcmp(operation, "read") == 0) {
        receivedSince += piece.substr(0, kKeptBytes - std::min(kKeptBytes, receivedSince.size()));
        if (!lastAnswered && !lastFrame.empty() && holdsReply(receivedSince, lastFrame)) {
            lastAnswered = true;
            ++answered;
        }
    }
}

}  // namespace

void startHandshakeDiagnosis()
{
    {
        std::lock_guard<std::mutex> hold(watchLock);
        lastFrame.clear();
        receivedSince.clear();
        answered = 0;
        lastAnswered = false;
    }
    setFrameObserver(observe);
}

void stopHandshakeDiagnosis()
{
    setFrameObserver(nullptr);
}

std::string handshakeDiagnosis()
{
    std::lock_guard<std::mutex> hold(watchLock);
    if (lastFrame.empty())
        return std::string();
    return describeUnanswered(lastFrame, receivedSince, lastAnswered ? answered - 1 : answered);
}

std::string describeUnanswered(const std::string& frame, const std::string& received, int answeredBefore)
{
    std::string line = "no reply to " + escaped(frame) + " after " + std::to_string(answeredBefore) +
                       (answeredBefore == 1 ? " answered frame" : " answered frames") + "; received ";
    if (received.empty())
        return line + "no byte at all: wrong port, cable, power or baud rate";
    if (received.compare(0, frame.size(), frame) == 0 && received.size() <= frame.size() + 1)
        return line + escaped(received) +
               ", an echo of our frame: a half-duplex cable (or an adapter that echoes), nothing answering";
    line += escaped(received);
    if (received.find(kCarriageReturn) == std::string::npos)
        return line + " with no CR: not this protocol, or a firmware in another mode";
    return line + ", which is no reply of this protocol: not this protocol, or a firmware in another mode";
}
