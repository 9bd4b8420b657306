// The command channel with its real pipe and engine thread: the bytes each
// operation writes, reassembly of the byte stream, and what the dispatcher
// reports while no port is open. Nothing here opens a device; a port that
// cannot exist (COM200) serves as the end marker of a byte sequence, since
// its statuses 9 and 3 can come from nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/status_codes.h"
#include "engine/engine_message.h"
#include "engine/telescope_control.h"
#include "platform/platform.h"
#include "tests/support/recorders.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Events = std::vector<std::string>;
using Frames = std::vector<std::string>;

constexpr uint32_t kWaitMs = 10000;
constexpr unsigned kMissingPort = 200;
const Events kMarker = {"status(9)", "status(3)"};

Events plus(Events events, const Events& more)
{
    events.insert(events.end(), more.begin(), more.end());
    return events;
}

Bytes portData(const std::string& text)
{
    Bytes message = {static_cast<uint8_t>(0xC0 + text.size())};
    for (char c : text)
        message.push_back(static_cast<uint8_t>(c));
    return message;
}

// ---- The messages the operations write --------------------------------------

class EngineMessages : public ::testing::Test {
protected:
    void SetUp() override
    {
        // With its thread ended the engine reads nothing, so the pipe keeps
        // exactly what the operations wrote.
        ASSERT_TRUE(control.stopThreads(kWaitMs));
    }

    void TearDown() override { control.releaseLocks(); }

    Bytes pipeContents()
    {
        Bytes bytes;
        int waiting = platform::pipeAvailable(control.pipeRead);
        EXPECT_GE(waiting, 0);
        if (waiting > 0) {
            bytes.resize(static_cast<size_t>(waiting));
            bytes.resize(platform::pipeRead(control.pipeRead, bytes.data(), static_cast<uint32_t>(waiting)));
        }
        return bytes;
    }

    RecordingListener listener;
    EngineTestSeam control{&listener};
};

TEST_F(EngineMessages, EachOperationWritesOneWholeMessage)
{
    struct Case {
        const char* what;
        void (*write)(EngineTestSeam&);
        Bytes message;
    };
    const Case cases[] = {
        {"onHeartBeat()", [](EngineTestSeam& c) { c.onHeartBeat(); }, {0xA0, 0x00}},
        {"connect(3)", [](EngineTestSeam& c) { c.connect(3); }, {0x82, 0x01, 0x03}},
        {"connect(1)", [](EngineTestSeam& c) { c.connect(1); }, {0x82, 0x01, 0x01}},
        {"connect(255)", [](EngineTestSeam& c) { c.connect(255); }, {0x82, 0x01, 0xFF}},
        {"connect(256)", [](EngineTestSeam& c) { c.connect(256); }, {0x83, 0x01, 0x00, 0x01}},
        {"connect(0)", [](EngineTestSeam& c) { c.connect(0); }, {0x82, 0x01, 0x00}},
        {"disconnect()", [](EngineTestSeam& c) { c.disconnect(); }, {0x81, 0x02}},
        {"move(0,2)", [](EngineTestSeam& c) { c.move(0, 2); }, {0x83, 0x04, 0x00, 0x02}},
        {"move(3,255)", [](EngineTestSeam& c) { c.move(3, 255); }, {0x83, 0x04, 0x03, 0xFF}},
        {"stop(4)", [](EngineTestSeam& c) { c.stop(4); }, {0x82, 0x05, 0x04}},
        {"setDslrRemote(2,3)", [](EngineTestSeam& c) { c.setDslrRemote(2, 3); }, {0x83, 0x06, 0x02, 0x03}},
        {"queryDslrRemote(0)", [](EngineTestSeam& c) { c.queryDslrRemote(0); }, {0x82, 0x07, 0x00}},
        {"startDslrTimer(1,0,500)",
         [](EngineTestSeam& c) { c.startDslrTimer(1, 0, 500); },
         {0x85, 0x08, 0x01, 0x00, 0xF4, 0x01}},
        // Only the low 16 bits of the time travel: 70000 is 0x11170.
        {"startDslrTimer(1,0,70000)",
         [](EngineTestSeam& c) { c.startDslrTimer(1, 0, 70000); },
         {0x85, 0x08, 0x01, 0x00, 0x70, 0x11}},
        {"startDslrTimer(15,9,65535)",
         [](EngineTestSeam& c) { c.startDslrTimer(15, 9, 65535); },
         {0x85, 0x08, 0x0F, 0x09, 0xFF, 0xFF}},
        {"readDslrTimer()", [](EngineTestSeam& c) { c.readDslrTimer(); }, {0x81, 0x09}},
        {"forwardPortData(=1\\r)",
         [](EngineTestSeam& c) {
             const uint8_t bytes[] = {0x3D, 0x31, 0x0D};
             c.forwardPortData(bytes, 3);
         },
         {0xC3, 0x3D, 0x31, 0x0D}},
        {"forwardPortData(\\r)",
         [](EngineTestSeam& c) {
             const uint8_t bytes[] = {0x0D};
             c.forwardPortData(bytes, 1);
         },
         {0xC1, 0x0D}},
    };
    for (const Case& c : cases) {
        c.write(control);
        EXPECT_EQ(c.message, pipeContents()) << c.what;
    }
    EXPECT_EQ(0u, listener.count());
}

TEST_F(EngineMessages, ReceivedBytesAreCutIntoMessagesOfAtMost31Bytes)
{
    struct Case {
        int count;
        std::vector<int> lengths;
    };
    const Case cases[] = {
        {100, {31, 31, 31, 7}}, {128, {31, 31, 31, 31, 4}}, {31, {31}}, {32, {31, 1}}, {62, {31, 31}},
    };
    for (const Case& c : cases) {
        Bytes received(static_cast<size_t>(c.count));
        for (size_t i = 0; i < received.size(); ++i)
            received[i] = static_cast<uint8_t>(i * 7 + 1);
        control.forwardPortData(received.data(), c.count);

        Bytes expected;
        size_t at = 0;
        for (int length : c.lengths) {
            expected.push_back(static_cast<uint8_t>(0xC0 + length));
            expected.insert(expected.end(), received.begin() + static_cast<long>(at),
                            received.begin() + static_cast<long>(at) + length);
            at += static_cast<size_t>(length);
        }
        EXPECT_EQ(expected, pipeContents()) << c.count << " bytes";
    }
}

TEST_F(EngineMessages, NothingIsForwardedOfAnEmptyRead)
{
    const uint8_t byte = 0x3D;
    control.forwardPortData(&byte, 0);
    control.forwardPortData(&byte, -1);
    EXPECT_EQ(0, platform::pipeAvailable(control.pipeRead));
}

TEST_F(EngineMessages, AnEndedEngineReportsNothingMore)
{
    control.disconnect();
    control.connect(kMissingPort);
    // Had the engine thread still run, it would have taken these bytes and
    // reported statuses 8, 9 and 3 within a poll or two.
    platform::sleepMilliseconds(3 * TelescopeControl::kPipePollMs);
    EXPECT_EQ(5, platform::pipeAvailable(control.pipeRead));
    EXPECT_EQ(0u, listener.count());
    // Stopping again is harmless.
    EXPECT_TRUE(control.stopThreads(kWaitMs));
}

// ---- The dispatcher with no port open ---------------------------------------

class Dispatcher : public ::testing::Test {
protected:
    void TearDown() override { ASSERT_TRUE(control.shutDown(kWaitMs)); }

    void writeRaw(const Bytes& bytes)
    {
        ASSERT_TRUE(platform::pipeWrite(control.pipeWrite, bytes.data(), static_cast<uint32_t>(bytes.size())));
    }

    // Sends the marker and waits for its last status; everything written
    // before it has been handled by then.
    Events eventsUpToMarker()
    {
        control.connect(kMissingPort);
        EXPECT_TRUE(listener.waitForStatus(StatusCannotOpenPort, kWaitMs)) << listener.describe();
        return listener.events();
    }

    RecordingListener listener;
    CapturingTelescopeControl control{&listener};
};

TEST_F(Dispatcher, EveryCommandBeforeTheMountIsReadyIsNotConnectedYet)
{
    control.disconnect();
    control.move(0, 2);
    control.stop(4);
    control.setDslrRemote(1, 1);
    control.queryDslrRemote(0);
    control.startDslrTimer(1, 0, 500);
    control.readDslrTimer();
    ASSERT_TRUE(listener.waitForCount(7, kWaitMs)) << listener.describe();
    EXPECT_EQ((std::vector<int>(7, StatusNotConnectedYet)), listener.statuses());
    EXPECT_TRUE(control.frames().empty());
    EXPECT_TRUE(control.modemLines().empty());
}

TEST_F(Dispatcher, APortThatCannotBeOpenedGivesOpeningThenCannotOpen)
{
    for (unsigned port : {kMissingPort, 0u, 256u}) {
        listener.clear();
        control.connect(port);
        ASSERT_TRUE(listener.waitForCount(2, kWaitMs)) << port;
        EXPECT_EQ((std::vector<int>{StatusOpeningPort, StatusCannotOpenPort}), listener.statuses()) << port;
    }
    // Still closed: a disconnect is refused.
    listener.clear();
    control.disconnect();
    ASSERT_TRUE(listener.waitForCount(1, kWaitMs));
    EXPECT_EQ((std::vector<int>{StatusNotConnectedYet}), listener.statuses());
    EXPECT_TRUE(control.frames().empty());
}

TEST_F(Dispatcher, HeartbeatsAndPortDataAreDroppedWhileClosed)
{
    // Were they handled, the tick would time out this handshake (status 5)
    // and the error reply would report status 7.
    control.protocolState = HandshakeF1;
    control.heartbeatCountdown = 1;
    control.onHeartBeat();
    control.onHeartBeat();
    writeRaw(portData("!05\r"));
    const uint8_t reply[] = {'!', '\r'};
    control.forwardPortData(reply, 2);
    EXPECT_EQ(kMarker, eventsUpToMarker());
    EXPECT_TRUE(control.frames().empty());
}

TEST_F(Dispatcher, TheByteAfterAnEmptyHeaderIsItsFiller)
{
    // 0x81 0x02 would be a disconnect (status 8) if the filler were taken
    // for a header.
    writeRaw({0xA0, 0x81, 0x02});
    writeRaw({0x80, 0x81, 0x02});
    writeRaw({0xE0, 0x81, 0x02});
    EXPECT_EQ(kMarker, eventsUpToMarker());
}

TEST_F(Dispatcher, StrayBytesBetweenMessagesAreDiscarded)
{
    writeRaw({0x00, 0x02, 0x7F, 0x3D, 0x0D, 0x01});
    writeRaw({0x81, 0x02});
    writeRaw({0x00});
    writeRaw({0x81, 0x02});
    EXPECT_EQ(plus({"status(8)", "status(8)"}, kMarker), eventsUpToMarker());
}

TEST_F(Dispatcher, PayloadBytesWithBitSevenAreStillPayload)
{
    // A 31-byte disconnect whose payload is full of would-be headers: one
    // status 8, not sixteen.
    Bytes message = {0x9F, 0x02};
    while (message.size() < 32) {
        message.push_back(0x81);
        message.push_back(0x02);
    }
    message.resize(32);
    writeRaw(message);
    EXPECT_EQ(plus({"status(8)"}, kMarker), eventsUpToMarker());
}

TEST_F(Dispatcher, MalformedCommandsAreDroppedWithoutAStatus)
{
    writeRaw({0x83, 0x01, 0x03, 0x00});        // connect, high byte 0
    writeRaw({0x81, 0x01});                    // connect without a port
    writeRaw({0x84, 0x01, 0x05, 0x01, 0x00});  // connect with four bytes
    writeRaw({0x80, 0x00});                    // command without a code
    writeRaw({0xE2, 0x81, 0x02});              // kind 3
    EXPECT_EQ(kMarker, eventsUpToMarker());
}

TEST_F(Dispatcher, OtherCommandsAreNotLengthCheckedBeforeTheMountIsReady)
{
    writeRaw({0x83, 0x02, 0x00, 0x00});  // disconnect with two extra bytes
    writeRaw({0x81, 0x04});              // a move without its arguments
    writeRaw({0x81, 0x7E});              // an unknown code
    EXPECT_EQ(plus({"status(8)", "status(8)", "status(8)"}, kMarker), eventsUpToMarker());
}

TEST_F(Dispatcher, MessagesFromSeveralThreadsNeverInterleave)
{
    // Two writers race; every message still arrives whole.
    constexpr int kEach = 50;
    platform::Thread* other = platform::startThread(
        [](void* argument) -> uint32_t {
            TelescopeControl* engine = static_cast<TelescopeControl*>(argument);
            for (int i = 0; i < kEach; ++i)
                engine->stop(4);
            return 0;
        },
        &control, nullptr);
    for (int i = 0; i < kEach; ++i) {
        control.onHeartBeat();
        control.startDslrTimer(1, 0, 0x8181);
    }
    ASSERT_TRUE(platform::waitThread(other, kWaitMs));
    platform::closeThread(other);
    ASSERT_TRUE(listener.waitForCount(2 * kEach, kWaitMs));
    eventsUpToMarker();
    EXPECT_EQ(plus(Events(2 * kEach, "status(8)"), kMarker), listener.events());
}

// ---- Stress: every operation from several threads at once -------------------
// Three writers call every operation while a heartbeat and a port reader
// write their own messages, for MERLIN_STRESS_SECONDS (default 8; TSan runs
// the same). The engine records each message it dispatches: each must be
// whole, and each writer's must come in the order written, none missing.

class WatchedEngine : public CapturingTelescopeControl {
public:
    using CapturingTelescopeControl::CapturingTelescopeControl;
    ~WatchedEngine() override { shutDown(); }

    void dispatchMessage(const uint8_t* message) override
    {
        dispatched.emplace_back(message, message + 1 + messagePayloadLength(message[0]));
        EngineTestSeam::dispatchMessage(message);
    }

    // Touched by the engine thread only, and read once it has ended.
    std::vector<Bytes> dispatched;
};

struct StressWriter {
    WatchedEngine* engine;
    uint8_t id;  // 0 to 2 the user's writers, 3 the heartbeat, 4 the reader
    uint64_t deadline;
    std::vector<Bytes> written;  // what the engine should see from this writer
};

// Every operation; each message carries the writer's id in its first
// argument byte, so the engine's record can be told apart per writer.
uint32_t writeEveryOperation(void* argument)
{
    StressWriter* w = static_cast<StressWriter*>(argument);
    const uint8_t id = w->id;
    for (uint32_t i = 0; platform::nowMilliseconds() < w->deadline; ++i) {
        const uint8_t n = static_cast<uint8_t>(i);
        w->engine->move(id, n);
        w->written.push_back({0x83, 0x04, id, n});
        w->engine->stop(id);
        w->written.push_back({0x82, 0x05, id});
        w->engine->setDslrRemote(id, n);
        w->written.push_back({0x83, 0x06, id, n});
        w->engine->queryDslrRemote(id);
        w->written.push_back({0x82, 0x07, id});
        w->engine->startDslrTimer(id, n, i & 0xFFFF);
        w->written.push_back({0x85, 0x08, id, n, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
        // A port nobody has: opening fails at once (statuses 9 and 3).
        w->engine->connect(210u + id);
        w->written.push_back({0x82, 0x01, static_cast<uint8_t>(210 + id)});
        // No arguments to tell them apart: counted, not attributed.
        w->engine->disconnect();
        w->engine->readDslrTimer();
    }
    return 0;
}

uint32_t writeHeartbeats(void* argument)
{
    StressWriter* w = static_cast<StressWriter*>(argument);
    while (platform::nowMilliseconds() < w->deadline) {
        w->engine->onHeartBeat();
        w->written.push_back({0xA0});  // the filler completes it, and is not part of it
        platform::sleepMilliseconds(1);
    }
    return 0;
}

uint32_t writePortData(void* argument)
{
    StressWriter* w = static_cast<StressWriter*>(argument);
    for (uint32_t i = 0; platform::nowMilliseconds() < w->deadline; ++i) {
        // Lengths 1 to 40: up to two messages a read, as the reader cuts them.
        uint8_t bytes[40];
        const int count = static_cast<int>(i % 40) + 1;
        for (int b = 0; b < count; ++b)
            bytes[b] = static_cast<uint8_t>(i + b);
        w->engine->forwardPortData(bytes, count);
        for (int at = 0; at < count; at += kMaxEnginePayload) {
            const int chunk = std::min(count - at, kMaxEnginePayload);
            Bytes message = {static_cast<uint8_t>(0xC0 + chunk)};
            message.insert(message.end(), bytes + at, bytes + at + chunk);
            w->written.push_back(message);
        }
    }
    return 0;
}

TEST(Stress, EveryOperationFromSeveralThreadsIsDispatchedWholeAndInOrder)
{
    const char* seconds = std::getenv("MERLIN_STRESS_SECONDS");
    const uint64_t runMs = 1000u * static_cast<uint64_t>(seconds != nullptr ? std::atoi(seconds) : 8);
    RecordingListener listener;
    WatchedEngine engine(&listener);
    const uint64_t deadline = platform::nowMilliseconds() + runMs;
    StressWriter writers[5];
    platform::Thread* threads[5];
    for (uint8_t id = 0; id < 5; ++id) {
        writers[id] = StressWriter{&engine, id, deadline, {}};
        platform::ThreadBody body = id < 3 ? writeEveryOperation : id == 3 ? writeHeartbeats : writePortData;
        threads[id] = platform::startThread(body, &writers[id], nullptr);
        ASSERT_NE(threads[id], nullptr);
    }
    for (platform::Thread* thread : threads) {
        ASSERT_TRUE(platform::waitThread(thread, runMs + 30000));
        platform::closeThread(thread);
    }
    // Everything written is handled before the marker's last status.
    engine.connect(kMissingPort);
    ASSERT_TRUE(listener.waitForEvent("status(3)", kWaitMs));
    const uint64_t drainStart = platform::nowMilliseconds();
    while (engine.pipeBacklog() > 0 && platform::nowMilliseconds() - drainStart < 60000)
        platform::sleepMilliseconds(10);
    ASSERT_TRUE(engine.shutDown(kWaitMs));

    std::vector<Bytes> seen[5];
    size_t unattributed = 0;
    for (const Bytes& m : engine.dispatched) {
        const int kind = messageKind(m[0]);
        if (kind == MessageHeartbeat)
            seen[3].push_back(m);
        else if (kind == MessagePortData)
            seen[4].push_back(m);
        else if (m.size() == 2 && (m[1] == CommandDisconnect || m[1] == CommandReadDslrTimer))
            ++unattributed;
        else if (m.size() >= 3 && m[1] == CommandConnect && m[2] >= 210 && m[2] < 213)
            seen[m[2] - 210].push_back(m);
        else if (m.size() >= 3 && m[2] < 3)
            seen[m[2]].push_back(m);
        else if (m != Bytes{0x82, 0x01, static_cast<uint8_t>(kMissingPort)})
            ADD_FAILURE() << "a message nobody wrote, " << m.size() << " bytes";
    }
    size_t total = 0;
    for (int id = 0; id < 5; ++id) {
        EXPECT_EQ(seen[id].size(), writers[id].written.size()) << "writer " << id;
        EXPECT_TRUE(seen[id] == writers[id].written) << "writer " << id << ": out of order or broken";
        total += writers[id].written.size();
    }
    size_t pairs = 0;
    for (int id = 0; id < 3; ++id)
        pairs += 2 * (writers[id].written.size() / 6);
    EXPECT_EQ(unattributed, pairs);
    std::printf("stress: %zu messages in %llu ms\n", total + unattributed, static_cast<unsigned long long>(runMs));
    EXPECT_GT(total, 1000u);
}

// ---- The dispatcher with a port it believes open -----------------------------
// The capturing engine needs no device for its frames: with portOpen set by
// hand, port data and heartbeats reach the protocol, and what it sends is
// captured. An error reply is the end marker here: its status 7 comes from
// nothing else in these tests.

class OpenDispatcher : public Dispatcher {
protected:
    void SetUp() override
    {
        // Set before anything is written: the pipe hands it to the engine
        // thread together with the first message.
        control.portOpen = true;
        control.startHandshake();
    }

    void TearDown() override
    {
        // Once the engine is idle, close what it believes open, so that it
        // does not close a device it never had.
        eventsUpToOpenMarker();
        control.portOpen = false;
        Dispatcher::TearDown();
    }

    Events eventsUpToOpenMarker()
    {
        const int before = listener.count(StatusCommunicationError);
        const uint8_t errorReply[] = {'!', '\r'};
        control.forwardPortData(errorReply, 2);
        EXPECT_TRUE(listener.waitForStatus(StatusCommunicationError, kWaitMs, before + 1)) << listener.describe();
        return listener.events();
    }
};

const std::string kHandshakeReplies31 = "\n\n\n\n\n\n\n=\r=\r=00F915\r=\r=00F915\r=\r";

TEST_F(OpenDispatcher, AThirtyOneBytePortDataMessageReachesTheParserWhole)
{
    ASSERT_EQ(31u, kHandshakeReplies31.size());
    writeRaw(portData(kHandshakeReplies31));
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kWaitMs)) << listener.describe();
    EXPECT_EQ((Frames{":F1\r", ":F2\r", ":a1\r", ":D1\r", ":a2\r", ":D2\r"}), control.frames());
    EXPECT_EQ(Events({"status(11)"}), listener.events());
}

TEST_F(OpenDispatcher, HandshakeCompleteLetsCommandsThrough)
{
    control.forwardPortData(reinterpret_cast<const uint8_t*>(kHandshakeReplies31.data()), 31);
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kWaitMs));
    control.clearFrames();
    control.readDslrTimer();
    const std::string reply = "=E803\r";
    control.forwardPortData(reinterpret_cast<const uint8_t*>(reply.data()), static_cast<int>(reply.size()));
    ASSERT_TRUE(listener.waitForEvent("timer(2,1000)", kWaitMs)) << listener.describe();
    EXPECT_EQ((Frames{":t1\r"}), control.frames());
    control.setDslrRemote(1, 1);
    control.setDslrRemote(1, 0);
    control.move(0, 2);
    ASSERT_TRUE(listener.waitForStatus(StatusManualMovement, kWaitMs));
    EXPECT_EQ((std::vector<int>{2, 0}), control.modemLines());
    EXPECT_EQ((Frames{":t1\r", ":L2\r"}), control.frames());
    EXPECT_EQ(0, listener.count(StatusNotConnectedYet));
}

TEST_F(OpenDispatcher, AHundredBytesInOneReadArriveInOrder)
{
    // Echoed frames, line feeds and the six replies, spread over four messages.
    std::string received = ":F1\r=\r\n:F2\r=\r:a1\r=00F915\r\n:D1\r=\r:a2\r=A02526\r:D2\r=\r";
    received.insert(0, std::string(100 - received.size(), '\n'));
    ASSERT_EQ(100u, received.size());
    control.forwardPortData(reinterpret_cast<const uint8_t*>(received.data()), 100);
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kWaitMs)) << listener.describe();
    EXPECT_EQ((Frames{":F1\r", ":F2\r", ":a1\r", ":D1\r", ":a2\r", ":D2\r"}), control.frames());
}

TEST_F(OpenDispatcher, CommandsBeforeTheHandshakeEndsAreRefused)
{
    control.move(0, 2);
    control.readDslrTimer();
    control.setDslrRemote(1, 1);
    EXPECT_EQ(Events({"status(8)", "status(8)", "status(8)", "status(7)"}), eventsUpToOpenMarker());
    EXPECT_EQ((Frames{":F1\r"}), control.frames());
    EXPECT_TRUE(control.modemLines().empty());
}

TEST_F(OpenDispatcher, ElevenTicksDoNotEndTheHandshake)
{
    for (int tick = 0; tick < 11; ++tick)
        control.onHeartBeat();
    EXPECT_EQ(Events({"status(7)"}), eventsUpToOpenMarker());
    EXPECT_EQ(1, control.heartbeatCountdown);
}

TEST_F(OpenDispatcher, AConnectWithATwoBytePortIsNotDropped)
{
    writeRaw({0x83, 0x01, 0x00, 0x01});  // port 256: already connected
    writeRaw({0x83, 0x01, 0x03, 0x00});  // malformed: dropped
    writeRaw({0x82, 0x01, 0x05});        // already connected
    EXPECT_EQ(Events({"status(4)", "status(4)", "status(7)"}), eventsUpToOpenMarker());
}

}  // namespace
