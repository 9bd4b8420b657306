// The far end of a serial line for tests that play the mount themselves: on
// the port fixture's null-modem pair the program under test opens COM5, the
// test COM6, and reads frames up to their "\r" and writes replies.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"

// The far end of the line: reads frames up to their "\r" and writes replies.
class LinePeer {
public:
    using Frames = std::vector<std::string>;
    static constexpr uint32_t kWaitMs = 10000;

    bool open(unsigned portNumber)
    {
        port_ = platform::serialOpen(portNumber);
        if (port_ == nullptr)
            return false;
        platform::serialSetLine9600_8N1(port_);
        platform::serialSetReadIntervalTimeouts(port_);
        platform::serialPurge(port_);
        read_ = platform::serialReadCreate(port_);
        stop_ = platform::createEvent(true, false);
        written_ = platform::createEvent(false, false);
        return true;
    }

    ~LinePeer()
    {
        if (read_ != nullptr)
            platform::serialReadDestroy(read_);
        if (port_ != nullptr)
            platform::serialClose(port_);
        if (stop_ != nullptr)
            platform::closeEvent(stop_);
        if (written_ != nullptr)
            platform::closeEvent(written_);
    }

    // The next `count` frames, or fewer when the time runs out.
    Frames readFrames(size_t count, uint32_t timeoutMs = kWaitMs)
    {
        const uint64_t deadline = platform::nowMilliseconds() + timeoutMs;
        Frames frames;
        for (;;) {
            size_t end;
            while (frames.size() < count && (end = buffer_.find('\r')) != std::string::npos) {
                frames.push_back(buffer_.substr(0, end + 1));
                buffer_.erase(0, end + 1);
            }
            const uint64_t now = platform::nowMilliseconds();
            if (frames.size() >= count || now >= deadline)
                return frames;
            receive(static_cast<uint32_t>(deadline - now));
        }
    }

    // Whatever arrives within the time, complete frames or not.
    std::string drain(uint32_t timeoutMs)
    {
        const uint64_t deadline = platform::nowMilliseconds() + timeoutMs;
        for (uint64_t now; (now = platform::nowMilliseconds()) < deadline;)
            receive(static_cast<uint32_t>(deadline - now));
        std::string all;
        all.swap(buffer_);
        return all;
    }

    void write(const std::string& bytes)
    {
        EXPECT_EQ(platform::WaitFirst,
                  platform::serialWrite(port_, written_, reinterpret_cast<const uint8_t*>(bytes.data()),
                                        static_cast<uint32_t>(bytes.size()), kWaitMs));
    }

private:
    void receive(uint32_t timeoutMs)
    {
        uint32_t received = 0;
        if (!pending_) {
            if (platform::serialReadStart(read_, &received) == platform::ReadCompleted) {
                append(received);
                return;
            }
            pending_ = true;
        }
        if (platform::serialReadWait(read_, stop_, timeoutMs) != platform::WaitFirst)
            return;
        pending_ = false;
        if (platform::serialReadResult(read_, &received))
            append(received);
    }

    void append(uint32_t received)
    {
        buffer_.append(reinterpret_cast<const char*>(platform::serialReadData(read_)), received);
    }

    platform::SerialPort* port_ = nullptr;
    platform::SerialRead* read_ = nullptr;
    platform::Event* stop_ = nullptr;
    platform::Event* written_ = nullptr;
    bool pending_ = false;
    std::string buffer_;
};
