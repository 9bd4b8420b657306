#include "app/frame_trace.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

std::atomic<TraceSink> traceSink{nullptr};
std::atomic<platform::SerialTrace> frameObserver{nullptr};

// A reply in the making: reads deliver bytes as they come, a reply ends at its
// carriage return. Touched by the port reader thread, and by the engine thread
// at a close, after the reader has ended.
constexpr size_t kPendingSize = 64;
uint8_t pending[kPendingSize];
size_t pendingLength = 0;

// `bytes` are escaped for the line unless they are text of the program's own
// that is escaped already.
void emit(char direction, const uint8_t* bytes, size_t count, bool escape = true)
{
    TraceSink sink = traceSink.load();
    if (sink == nullptr)
        return;
    char line[kTraceLineSize];
    int length = std::snprintf(line, sizeof line, "%6" PRIu64 " ms %c ", programMilliseconds(), direction);
    if (length < 0)
        return;
    size_t at = static_cast<size_t>(length);
    // Room for the newline and the zero.
    if (escape) {
        at += escapeBytes(bytes, count, line + at, sizeof line - at - 1);
    } else {
        const size_t n = std::min(count, sizeof line - at - 2);
        std::memcpy(line + at, bytes, n);
        at += n;
    }
    line[at++] = '\n';
    line[at] = '\0';
    sink(line);
}

void received(const uint8_t* bytes, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        pending[pendingLength++] = bytes[i];
        // A runaway reply with no carriage return still shows, in pieces.
        if (bytes[i] == '\r' || pendingLength == kPendingSize) {
            emit('<', pending, pendingLength);
            pendingLength = 0;
        }
    }
}

void onSerialCall(const char* operation, long argument, bool succeeded, const uint8_t* bytes, uint32_t count)
{
    if (platform::SerialTrace observer = frameObserver.load())
        observer(operation, argument, succeeded, bytes, count);
    if (traceSink.load() == nullptr)
        return;
    // Something the port has to say about itself, as the open's reason is said.
    if (std::strcmp(operation, "note") == 0) {
        if (bytes != nullptr)
            emit('!', bytes, count);
        return;
    }
    if (bytes == nullptr || !succeeded) {
        // A port that did not open says why, when the system says.
        if (!succeeded && std::strcmp(operation, "open") == 0) {
            char reason[kTraceLineSize];
            platform::serialOpenFailure(reason, sizeof reason);
            if (reason[0] != '\0')
                emit('!', reinterpret_cast<const uint8_t*>(reason), std::strlen(reason));
            return;
        }
        // A reply cut short by the close still shows what came of it.
        if (std::strcmp(operation, "close") == 0 && pendingLength > 0) {
            emit('<', pending, pendingLength);
            pendingLength = 0;
        }
        return;
    }
    if (std::strcmp(operation, "write") == 0)
        emit('>', bytes, count);
    else if (std::strcmp(operation, "read") == 0)
        received(bytes, count);
}

}  // namespace

void startFrameTrace(TraceSink sink)
{
    programMilliseconds();
    pendingLength = 0;
    traceSink.store(sink);
    platform::setSerialTrace(onSerialCall);
}

void stopFrameTrace()
{
    if (frameObserver.load() == nullptr)
        platform::setSerialTrace(nullptr);
    traceSink.store(nullptr);
}

void setFrameObserver(platform::SerialTrace observer)
{
    frameObserver.store(observer);
    if (observer != nullptr)
        platform::setSerialTrace(onSerialCall);
    else if (traceSink.load() == nullptr)
        platform::setSerialTrace(nullptr);
}

void traceNote(const char* text)
{
    emit('!', reinterpret_cast<const uint8_t*>(text), std::strlen(text), false);
}

uint64_t programMilliseconds()
{
    static const uint64_t start = platform::nowMilliseconds();
    return platform::nowMilliseconds() - start;
}

size_t escapeBytes(const uint8_t* bytes, size_t count, char* out, size_t size)
{
    if (size == 0)
        return 0;
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        char piece[5];
        const uint8_t b = bytes[i];
        if (b == '\r')
            std::memcpy(piece, "\\r", 3);
        else if (b == '\n')
            std::memcpy(piece, "\\n", 3);
        else if (b == '\t')
            std::memcpy(piece, "\\t", 3);
        else if (b == '\\')
            std::memcpy(piece, "\\\\", 3);
        else if (b >= 0x20 && b < 0x7F) {
            piece[0] = static_cast<char>(b);
            piece[1] = '\0';
        } else
            std::snprintf(piece, sizeof piece, "\\x%02X", b);
        const size_t n = std::strlen(piece);
        // Never half an escape.
        if (at + n >= size)
            break;
        std::memcpy(out + at, piece, n);
        at += n;
    }
    out[at] = '\0';
    return at;
}
