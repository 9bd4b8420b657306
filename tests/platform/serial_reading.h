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

// Reads until `count` bytes have come, a read fails, or `milliseconds` pass.
inline Received readBytes(platform::SerialRead* read, platform::Event* stop, size_t count,
                          uint32_t milliseconds) {
    using namespace platform;
    Received received;
    const uint64_t start = nowMilliseconds();
    bool pending = false;
    while (received.bytes.size() < count) {
        uint64_t elapsed = nowMilliseconds() - start;
        if (elapsed >= milliseconds) break;
        uint32_t n = 0;
        if (!pending) {
            if (serialReadStart(read, &n) == ReadCompleted) {
                if (n > 0) received.chunks.push_back(n);
                const uint8_t* data = serialReadData(read);
                received.bytes.insert(received.bytes.end(), data, data + n);
                continue;
            }
            pending = true;
        }
        WaitResult result = serialReadWait(read, stop, static_cast<uint32_t>(milliseconds - elapsed));
        if (result != WaitFirst) break;
        pending = false;
        if (!serialReadResult(read, &n)) {
            received.failed = true;
            break;
        }
        if (n > 0) received.chunks.push_back(n);
        const uint8_t* data = serialReadData(read);
        received.bytes.insert(received.bytes.end(), data, data + n);
    }
    return received;
}

inline std::vector<uint8_t> bytesOf(const char* text) {
    std::vector<uint8_t> bytes;
    while (*text) bytes.push_back(static_cast<uint8_t>(*text++));
    return bytes;
}

}  // namespace serial_testing
