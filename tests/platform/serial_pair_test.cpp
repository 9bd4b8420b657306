// Serial ports over the fixture's null-modem pair COM5 <-> COM6: bytes both
// ways, reads that gather a burst, and the reader's wait against its stop
// event. The same cases run natively and under wine.
#include "platform/platform.h"
#include "tests/platform/serial_reading.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace platform;
using namespace serial_testing;

namespace {

constexpr unsigned kPortA = 5;
constexpr unsigned kPortB = 6;

SerialPort* openConfigured(unsigned number)
{
    SerialPort* port = serialOpen(number);
    if (!port)
        return nullptr;
    serialSetLine9600_8N1(port);
    serialSetReadIntervalTimeouts(port);
    serialSetQueueSizes(port, 8096, 8096);
    serialPurge(port);
    return port;
}

class NullModemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        a_ = openConfigured(kPortA);
        b_ = openConfigured(kPortB);
        ASSERT_NE(a_, nullptr) << "COM5 of the port fixture";
        ASSERT_NE(b_, nullptr) << "COM6 of the port fixture";
        readerA_.reset(new PortReader(a_));
        readerB_.reset(new PortReader(b_));
        ASSERT_TRUE(readerA_->valid() && readerB_->valid());
        stop_ = createEvent(true, false);
        writeDone_ = createEvent(false, false);
    }
    void TearDown() override
    {
        readerA_.reset();
        readerB_.reset();
        serialClose(a_);
        serialClose(b_);
        closeEvent(stop_);
        closeEvent(writeDone_);
    }

    WaitResult send(SerialPort* port, const std::vector<uint8_t>& bytes)
    {
        return serialWrite(port, writeDone_, bytes.data(), static_cast<uint32_t>(bytes.size()), 1000);
    }

    SerialPort* a_ = nullptr;
    SerialPort* b_ = nullptr;
    std::unique_ptr<PortReader> readerA_;
    std::unique_ptr<PortReader> readerB_;
    Event* stop_ = nullptr;
    Event* writeDone_ = nullptr;
};

TEST_F(NullModemTest, BytesTravelBothWays)
{
    const std::vector<uint8_t> frame = bytesOf(":F1\r");
    ASSERT_EQ(send(a_, frame), WaitFirst);
    EXPECT_EQ(readerB_->take(stop_, frame.size(), 5000).bytes, frame);

    const std::vector<uint8_t> reply = bytesOf("=0024A2\r");
    ASSERT_EQ(send(b_, reply), WaitFirst);
    EXPECT_EQ(readerA_->take(stop_, reply.size(), 5000).bytes, reply);
}

TEST_F(NullModemTest, AllByteValuesPassUnchanged)
{
    // Raw mode: CR, LF, XON/XOFF, DEL and the high half must not be touched.
    std::vector<uint8_t> everything(256);
    for (int i = 0; i < 256; ++i)
        everything[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(send(a_, everything), WaitFirst);
    Received received = readerB_->take(stop_, everything.size(), 10000);
    EXPECT_EQ(received.bytes, everything);
}

TEST_F(NullModemTest, BurstArrivesInOrderInReadsOfAtMost128Bytes)
{
    std::vector<uint8_t> burst(200);
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<uint8_t>('A' + i % 26);
    ASSERT_EQ(send(a_, burst), WaitFirst);
    Received received = readerB_->take(stop_, burst.size(), 10000);
    EXPECT_FALSE(received.failed);
    EXPECT_EQ(received.bytes, burst);
    EXPECT_GE(received.chunks.size(), 2u);
    for (uint32_t chunk : received.chunks)
        EXPECT_LE(chunk, kSerialReadSize);
}

// Sets the event after 50 ms.
uint32_t setEventSoon(void* argument)
{
    sleepMilliseconds(50);
    setEvent(static_cast<Event*>(argument));
    return 0;
}

TEST_F(NullModemTest, WaitSeesTheStopWhileAReadIsPending)
{
    SerialRead* read = serialReadCreate(b_);
    uint32_t n = 0;
    ASSERT_EQ(serialReadStart(read, &n), ReadPending);
    Thread* stopper = startThread(setEventSoon, stop_, nullptr);
    uint64_t start = nowMilliseconds();
    WaitResult result = WaitTimeout;
    // The reader waits 200 ms at a time, as the port reader thread does.
    while (result == WaitTimeout && nowMilliseconds() - start < 10000) {
        result = serialReadWait(read, stop_, 200);
    }
    EXPECT_EQ(result, WaitSecond);
    EXPECT_LT(nowMilliseconds() - start, 5000u);
    EXPECT_TRUE(waitThread(stopper, 10000));
    closeThread(stopper);
    serialReadDestroy(read);
}

TEST_F(NullModemTest, WaitTimesOutWithNothingToRead)
{
    SerialRead* read = serialReadCreate(b_);
    uint32_t n = 0;
    ASSERT_EQ(serialReadStart(read, &n), ReadPending);
    uint64_t start = nowMilliseconds();
    EXPECT_EQ(serialReadWait(read, stop_, 200), WaitTimeout);
    uint64_t elapsed = nowMilliseconds() - start;
    EXPECT_GE(elapsed, 180u);
    EXPECT_LT(elapsed, 5000u);
    serialReadDestroy(read);
}

TEST_F(NullModemTest, ReadThatCompletedBeforeTheStopIsReportedFirst)
{
    SerialRead* read = serialReadCreate(b_);
    uint32_t n = 0;
    ASSERT_EQ(serialReadStart(read, &n), ReadPending);
    ASSERT_EQ(send(a_, bytesOf("=\r")), WaitFirst);
    // Wait for the read alone first (a stop event that stays clear), so it
    // has surely completed before the stop is set.
    Event* neverSet = createEvent(true, false);
    ASSERT_EQ(serialReadWait(read, neverSet, 5000), WaitFirst);
    closeEvent(neverSet);
    setEvent(stop_);
    EXPECT_EQ(serialReadWait(read, stop_, 1000), WaitFirst);
    ASSERT_TRUE(serialReadResult(read, &n));
    std::vector<uint8_t> got(serialReadData(read), serialReadData(read) + n);
    serialReadDestroy(read);
    // The rest of a two-byte reply may come with a later read.
    if (got.size() < 2) {
        resetEvent(stop_);
        Received rest = readerB_->take(stop_, 2 - got.size(), 5000);
        got.insert(got.end(), rest.bytes.begin(), rest.bytes.end());
    }
    EXPECT_EQ(got, bytesOf("=\r"));
}

TEST_F(NullModemTest, WriteReturnsWithinItsTime)
{
    const std::vector<uint8_t> frame = bytesOf(":K1\r");
    uint64_t start = nowMilliseconds();
    EXPECT_EQ(send(a_, frame), WaitFirst);
    EXPECT_LT(nowMilliseconds() - start, 3000u);
    // Without a completion event of the caller's the write works as well.
    EXPECT_EQ(serialWrite(a_, nullptr, frame.data(), 4, 1000), WaitFirst);
    Received received = readerB_->take(stop_, 8, 5000);
    EXPECT_EQ(received.bytes, bytesOf(":K1\r:K1\r"));
}

TEST_F(NullModemTest, WriteThatCannotFinishGivesUpInTime)
{
    // Nobody reads COM6, so the line's buffers fill up and the write stalls;
    // it must be given up (and cancelled) within its time. Meanwhile the
    // caller's event is set from elsewhere, as the late completion of an
    // earlier write left to the driver would set it: the stalled write must
    // not take that for its own completion.
    std::vector<uint8_t> lots(1 << 20, 'x');
    Thread* setter = startThread(setEventSoon, writeDone_, nullptr);
    uint64_t start = nowMilliseconds();
    EXPECT_EQ(serialWrite(a_, writeDone_, lots.data(), static_cast<uint32_t>(lots.size()), 200), WaitTimeout);
    uint64_t elapsed = nowMilliseconds() - start;
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_TRUE(waitThread(setter, 10000));
    closeThread(setter);

    // What got onto the line is still on its way; leave the pair empty for
    // the next test, and check that the line still works.
    serialPurge(a_);
    size_t dropped = readerB_->drain(stop_, 300, 30000);
    EXPECT_GT(dropped, 0u);
    EXPECT_LT(dropped, lots.size());
    ASSERT_EQ(send(a_, bytesOf("ok\r")), WaitFirst);
    EXPECT_EQ(readerB_->take(stop_, 3, 5000).bytes, bytesOf("ok\r"));
}

TEST_F(NullModemTest, DestroyingAPendingReadReturnsAndLeavesThePortUsable)
{
    SerialRead* read = serialReadCreate(b_);
    uint32_t n = 0;
    ASSERT_EQ(serialReadStart(read, &n), ReadPending) << n << " bytes were waiting on COM6";
    uint64_t start = nowMilliseconds();
    serialReadDestroy(read);
    EXPECT_LT(nowMilliseconds() - start, 3000u);

    // The cancelled read took nothing; a new one gets the next bytes.
    ASSERT_EQ(send(a_, bytesOf("XY\r")), WaitFirst);
    Received received = readerB_->take(stop_, 3, 5000);
    EXPECT_FALSE(received.failed);
    EXPECT_EQ(received.bytes, bytesOf("XY\r"));
}

TEST_F(NullModemTest, SecondOpenOfAHeldPortIsNotAStaleHandle)
{
    // Whether a second open succeeds depends on the system (wine lets it);
    // what must hold is that the first handle keeps working either way.
    SerialPort* second = serialOpen(kPortA);
    if (second)
        serialClose(second);
    ASSERT_EQ(send(a_, bytesOf("ok\r")), WaitFirst);
    EXPECT_EQ(readerB_->take(stop_, 3, 5000).bytes, bytesOf("ok\r"));
}

std::vector<std::string>* traceLog = nullptr;

void recordTrace(const char* operation, long /*argument*/, bool succeeded, const uint8_t*, uint32_t)
{
    if (traceLog)
        traceLog->push_back(std::string(operation) + (succeeded ? "" : " failed"));
}

TEST_F(NullModemTest, TraceSeesModemLineCallsInTheOrderMade)
{
    // A pseudo-terminal has no modem lines, natively or under wine; the calls
    // and their order are what the trace can show.
    std::vector<std::string> log;
    traceLog = &log;
    setSerialTrace(recordTrace);
    const ModemFunction calls[] = {ClearDtr, SetRts, SetDtr, ClearRts};
    std::vector<std::string> expected;
    const char* const names[] = {"SETDTR", "CLRDTR", "SETRTS", "CLRRTS"};
    for (ModemFunction call : calls) {
        bool ok = serialEscape(a_, call);
        expected.push_back(std::string(names[call]) + (ok ? "" : " failed"));
    }
    setSerialTrace(nullptr);
    traceLog = nullptr;
    EXPECT_EQ(log, expected);
}

}  // namespace
