// The engine's byte pipe: order, the 4096-byte capacity that makes writers
// wait, the count of waiting bytes, and whole messages from several writers.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <vector>

using namespace platform;

namespace {

constexpr uint32_t kCapacity = 4096;

class PipeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(createPipe(&readEnd_, &writeEnd_, kCapacity)); }
    void TearDown() override
    {
        closePipeEnd(readEnd_);
        closePipeEnd(writeEnd_);
    }

    // Reads exactly `count` bytes, as many calls as it takes.
    std::vector<uint8_t> readExactly(uint32_t count)
    {
        std::vector<uint8_t> bytes(count);
        uint32_t have = 0;
        while (have < count) {
            uint32_t n = pipeRead(readEnd_, bytes.data() + have, count - have);
            if (n == 0)
                break;
            have += n;
        }
        bytes.resize(have);
        return bytes;
    }

    PipeEnd* readEnd_ = nullptr;
    PipeEnd* writeEnd_ = nullptr;
};

TEST_F(PipeTest, DeliversBytesInTheOrderWritten)
{
    std::vector<uint8_t> expected;
    for (uint32_t length = 1; length <= 32; ++length) {
        std::vector<uint8_t> message(length);
        for (uint32_t i = 0; i < length; ++i)
            message[i] = static_cast<uint8_t>(length * 7 + i);
        ASSERT_TRUE(pipeWrite(writeEnd_, message.data(), length));
        expected.insert(expected.end(), message.begin(), message.end());
    }
    EXPECT_EQ(readExactly(static_cast<uint32_t>(expected.size())), expected);
}

TEST_F(PipeTest, AvailableCountsWaitingBytesWithoutTakingThem)
{
    EXPECT_EQ(pipeAvailable(readEnd_), 0);
    const uint8_t bytes[10] = {0xA0, 0x00, 0x82, 0x01, 0x03, 0xC3, 0x3D, 0x31, 0x0D, 0x81};
    ASSERT_TRUE(pipeWrite(writeEnd_, bytes, sizeof bytes));
    EXPECT_EQ(pipeAvailable(readEnd_), 10);
    EXPECT_EQ(pipeAvailable(readEnd_), 10);
    uint8_t first[3];
    ASSERT_EQ(pipeRead(readEnd_, first, 3), 3u);
    EXPECT_EQ(first[0], 0xA0);
    EXPECT_EQ(first[2], 0x82);
    EXPECT_EQ(pipeAvailable(readEnd_), 7);
    // Reading one byte at a time, as the engine does.
    for (int left = 6; left >= 0; --left) {
        uint8_t one;
        ASSERT_EQ(pipeRead(readEnd_, &one, 1), 1u);
        EXPECT_EQ(pipeAvailable(readEnd_), left);
    }
}

struct BlockedWriter {
    PipeEnd* writeEnd;
    Event* written;
    uint8_t message[32];
    bool ok = false;
};

uint32_t writeOneMessage(void* argument)
{
    BlockedWriter* writer = static_cast<BlockedWriter*>(argument);
    writer->ok = pipeWrite(writer->writeEnd, writer->message, sizeof writer->message);
    setEvent(writer->written);
    return 0;
}

TEST_F(PipeTest, WriterWaitsWhileFullAndResumesWhenDrained)
{
    uint8_t message[32];
    for (uint32_t i = 0; i < kCapacity / 32; ++i) {
        for (uint8_t& b : message)
            b = static_cast<uint8_t>(i);
        ASSERT_TRUE(pipeWrite(writeEnd_, message, sizeof message));
    }
    EXPECT_EQ(pipeAvailable(readEnd_), static_cast<int>(kCapacity));

    BlockedWriter writer{writeEnd_, createEvent(true, false), {}};
    for (uint8_t& b : writer.message)
        b = 0xEE;
    Thread* thread = startThread(writeOneMessage, &writer, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(waitEvent(writer.written, 200), WaitTimeout) << "a full pipe took more bytes";

    std::vector<uint8_t> drained = readExactly(kCapacity);
    ASSERT_EQ(drained.size(), kCapacity);
    for (uint32_t i = 0; i < kCapacity; ++i)
        ASSERT_EQ(drained[i], static_cast<uint8_t>(i / 32)) << i;

    EXPECT_EQ(waitEvent(writer.written, 10000), WaitFirst) << "the writer did not resume";
    EXPECT_TRUE(waitThread(thread, 10000));
    EXPECT_TRUE(writer.ok);
    EXPECT_EQ(readExactly(32), std::vector<uint8_t>(32, 0xEE));
    closeThread(thread);
    closeEvent(writer.written);
}

// The engine's wait: an empty pipe times out, a write wakes the waiter at
// once (long before the time-out), and bytes already waiting need no wait.
uint32_t writeAfterAPause(void* argument)
{
    sleepMilliseconds(50);
    const uint8_t heartbeat[2] = {0xA0, 0x00};
    pipeWrite(static_cast<PipeEnd*>(argument), heartbeat, 2);
    return 0;
}

TEST_F(PipeTest, AWriteWakesAWaitingReaderAtOnce)
{
    EXPECT_EQ(pipeWaitReadable(readEnd_, 20), WaitTimeout);
    Thread* writer = startThread(writeAfterAPause, writeEnd_, nullptr);
    ASSERT_NE(writer, nullptr);
    const uint64_t start = nowMilliseconds();
    EXPECT_EQ(pipeWaitReadable(readEnd_, 10000), WaitFirst);
    EXPECT_LT(nowMilliseconds() - start, 5000u) << "woken by the write, not the time-out";
    EXPECT_TRUE(waitThread(writer, 10000));
    closeThread(writer);
    EXPECT_EQ(pipeWaitReadable(readEnd_, 0), WaitFirst);
    EXPECT_EQ(readExactly(2), std::vector<uint8_t>({0xA0, 0x00}));
    EXPECT_EQ(pipeWaitReadable(readEnd_, 0), WaitTimeout);
    EXPECT_EQ(pipeWaitReadable(nullptr, 0), WaitFailed);
}

// Several threads writing 32-byte messages under one lock, far more than the
// pipe holds: each message must arrive whole and each writer's in order.
struct MessageWriter {
    PipeEnd* writeEnd;
    Lock* lock;
    uint8_t writer;
};

constexpr int kMessagesPerWriter = 1000;

uint32_t writeMessages(void* argument)
{
    MessageWriter* self = static_cast<MessageWriter*>(argument);
    for (int sequence = 0; sequence < kMessagesPerWriter; ++sequence) {
        uint8_t message[32];
        message[0] = static_cast<uint8_t>(0x80 | self->writer);
        message[1] = static_cast<uint8_t>(sequence & 0xFF);
        message[2] = static_cast<uint8_t>(sequence >> 8);
        for (int i = 3; i < 32; ++i)
            message[i] = static_cast<uint8_t>(self->writer * 16 + i);
        LockHold hold(*self->lock);
        pipeWrite(self->writeEnd, message, sizeof message);
    }
    return 0;
}

TEST_F(PipeTest, MessagesFromSeveralWritersArriveWhole)
{
    Lock lock;
    lock.init();
    constexpr int kWriters = 3;
    MessageWriter writers[kWriters];
    Thread* threads[kWriters];
    for (int w = 0; w < kWriters; ++w) {
        writers[w] = MessageWriter{writeEnd_, &lock, static_cast<uint8_t>(w)};
        threads[w] = startThread(writeMessages, &writers[w], nullptr);
        ASSERT_NE(threads[w], nullptr);
    }
    int nextSequence[kWriters] = {};
    for (int m = 0; m < kWriters * kMessagesPerWriter; ++m) {
        std::vector<uint8_t> message = readExactly(32);
        ASSERT_EQ(message.size(), 32u);
        int writer = message[0] & 0x7F;
        ASSERT_LT(writer, kWriters);
        int sequence = message[1] | (message[2] << 8);
        ASSERT_EQ(sequence, nextSequence[writer]) << "writer " << writer;
        ++nextSequence[writer];
        for (int i = 3; i < 32; ++i)
            ASSERT_EQ(message[i], writer * 16 + i) << "message " << m;
    }
    for (Thread* thread : threads) {
        EXPECT_TRUE(waitThread(thread, 10000));
        closeThread(thread);
    }
    EXPECT_EQ(pipeAvailable(readEnd_), 0);
    lock.destroy();
}

TEST_F(PipeTest, ClosedEndsMakeTheOtherSideFailInsteadOfHanging)
{
    const uint8_t bytes[3] = {1, 2, 3};
    ASSERT_TRUE(pipeWrite(writeEnd_, bytes, 3));
    closePipeEnd(writeEnd_);
    writeEnd_ = nullptr;
    EXPECT_EQ(readExactly(3), std::vector<uint8_t>({1, 2, 3}));
    uint8_t more[4];
    EXPECT_EQ(pipeRead(readEnd_, more, sizeof more), 0u);

    PipeEnd* readEnd = nullptr;
    PipeEnd* writeEnd = nullptr;
    ASSERT_TRUE(createPipe(&readEnd, &writeEnd, kCapacity));
    closePipeEnd(readEnd);
    EXPECT_FALSE(pipeWrite(writeEnd, bytes, 3));
    closePipeEnd(writeEnd);
}

TEST(Pipe, NullEndsFail)
{
    uint8_t byte = 0;
    EXPECT_EQ(pipeAvailable(nullptr), -1);
    EXPECT_EQ(pipeRead(nullptr, &byte, 1), 0u);
    EXPECT_FALSE(pipeWrite(nullptr, &byte, 1));
}

}  // namespace
