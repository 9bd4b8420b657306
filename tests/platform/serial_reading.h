// Reading a serial port the way the port reader thread does: start a read,
// wait for it or the stop event, collect it; for the serial suites.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <vector>

namespace serial_testing {

struct Received {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> chunks;  // the size of each completed read
    bool failed = false;           // a read ended with an error
};

// One SerialRead and whether a read of it is still pending, which carries
// over from one call to the next: a read that outlasts a wait stays pending,
// as it does on the port reader thread, and is not started a second time.
class PortReader {
public:
    explicit PortReader(platform::SerialPort* port) : read_(platform::serialReadCreate(port)) {}
    ~PortReader() { platform::serialReadDestroy(read_); }
    PortReader(const PortReader&) = delete;
    PortReader& operator=(const PortReader&) = delete;

    bool valid() const { return read_ != nullptr; }

    // Reads until `count` bytes have come, a read fails, or `milliseconds` pass.
    Received take(platform::Event* stop, size_t count, uint32_t milliseconds)
    {
        using namespace platform;
        Received received;
        const uint64_t start = nowMilliseconds();
        while (received.bytes.size() < count) {
            uint64_t elapsed = nowMilliseconds() - start;
            if (elapsed >= milliseconds)
                break;
            uint32_t n = 0;
            if (!pending_) {
                if (serialReadStart(read_, &n) == ReadCompleted) {
                    keep(received, n);
                    continue;
                }
                pending_ = true;
            }
            WaitResult result = serialReadWait(read_, stop, static_cast<uint32_t>(milliseconds - elapsed));
            if (result != WaitFirst)
                break;
            pending_ = false;
            if (!serialReadResult(read_, &n)) {
                received.failed = true;
                break;
            }
            keep(received, n);
        }
        return received;
    }

    // Reads and drops whatever arrives until the line has been quiet for
    // `quietMilliseconds`, or `limitMilliseconds` have passed; the count dropped.
    size_t drain(platform::Event* stop, uint32_t quietMilliseconds, uint32_t limitMilliseconds)
    {
        size_t dropped = 0;
        const uint64_t start = platform::nowMilliseconds();
        while (platform::nowMilliseconds() - start < limitMilliseconds) {
            Received received = take(stop, 1, quietMilliseconds);
            if (received.bytes.empty() || received.failed)
                break;
            dropped += received.bytes.size();
        }
        return dropped;
    }

private:
    void keep(Received& received, uint32_t n)
    {
        if (n == 0)
            return;
        received.chunks.push_back(n);
        const uint8_t* data = platform::serialReadData(read_);
        received.bytes.insert(received.bytes.end(), data, data + n);
    }

    platform::SerialRead* read_;
    bool pending_ = false;
};

inline std::vector<uint8_t> bytesOf(const char* text)
{
    std::vector<uint8_t> bytes;
    while (*text)
        bytes.push_back(static_cast<uint8_t>(*text++));
    return bytes;
}

}  // namespace serial_testing
