// The engine with its real pipe, threads and serial link, talking to the
// project's mount simulator through a pseudo-terminal (COM7). The simulator's
// control line (COM8) sets its behaviour and reports what it received.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/status_codes.h"
#include "engine/telescope_control.h"
#include "platform/platform.h"
#include "tests/support/engine_test_seam.h"
#include "tests/support/port_links.h"
#include "tests/support/recorders.h"
#include "tests/support/sim_client.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

constexpr unsigned kMountPort = 7;
constexpr unsigned kControlPort = 8;
// Natively the same simulator over UDP, as a WiFi adapter, and over TCP, as
// behind a serial server.
constexpr unsigned kUdpMountPort = 11;
constexpr unsigned kTcpMountPort = 12;
// Generous bounds: a handshake takes ~0.5 s plus six round trips.
constexpr int kStatusWaitMs = 10000;
constexpr int kFrameWaitMs = 10000;

const std::vector<std::string> kHandshakeFrames = {":F1\r", ":F2\r", ":a1\r", ":D1\r", ":a2\r", ":D2\r"};

class EngineWithSimulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.open(kControlPort)) << "simulator control line COM8";
        ASSERT_TRUE(sim.reset());
        engine = new EngineTestSeam(&listener);
    }

    void TearDown() override
    {
        if (engine == nullptr)
            return;  // set-up failed before the engine was made
        ASSERT_TRUE(engine->stopThreads(20000));
        engine->releaseLocks();
        delete engine;
    }

    // Connects to the simulator and waits for the handshake to finish.
    void connectReady()
    {
        engine->connect(mountPort);
        ASSERT_TRUE(listener.waitForStatus(StatusReady, kStatusWaitMs)) << listener.describe();
        ASSERT_TRUE(sim.waitForFrames(6, kFrameWaitMs));
        sim.clearLog();
        listener.clear();
    }

    // Frames the simulator received since the last clear, once `count` are in.
    std::vector<std::string> framesAfter(size_t count)
    {
        EXPECT_TRUE(sim.waitForFrames(count, kFrameWaitMs)) << "frames so far: " << sim.frames().size();
        return sim.frames();
    }

    // Round-trips a disconnect: the answer tells whether the port was open.
    int disconnectStatus()
    {
        const size_t before = listener.statuses().size();
        engine->disconnect();
        EXPECT_TRUE(listener.waitForCount(before + 1, kStatusWaitMs));
        return listener.statuses().back();
    }

    SimClient sim;
    RecordingListener listener;
    EngineTestSeam* engine = nullptr;
    unsigned mountPort = kMountPort;
};

// What holds however the mount is reached: on the pty and, natively, over
// the network.
struct Transport {
    const char* name;
    unsigned port;
};

void PrintTo(const Transport& transport, std::ostream* out)
{
    *out << transport.name;
}

class EngineOnEachTransport : public EngineWithSimulator, public ::testing::WithParamInterface<Transport> {
protected:
    void SetUp() override
    {
        mountPort = GetParam().port;
        EngineWithSimulator::SetUp();
    }
    bool datagrams() const { return GetParam().port == kUdpMountPort; }
};

#ifdef _WIN32
const Transport kTransports[] = {{"pty", kMountPort}};
#else
const Transport kTransports[] = {{"pty", kMountPort}, {"udp", kUdpMountPort}, {"tcp", kTcpMountPort}};
#endif
INSTANTIATE_TEST_SUITE_P(Transports, EngineOnEachTransport, ::testing::ValuesIn(kTransports),
                         [](const ::testing::TestParamInfo<Transport>& info) { return std::string(info.param.name); });

TEST_P(EngineOnEachTransport, ConnectRunsTheSixFrameHandshakeAndReportsReady)
{
    engine->connect(mountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kStatusWaitMs)) << listener.describe();
    EXPECT_EQ(listener.statuses(), (std::vector<int>{StatusOpeningPort, StatusConnecting, StatusReady}));
    EXPECT_EQ(framesAfter(6), kHandshakeFrames);
    EXPECT_EQ(disconnectStatus(), StatusConnectionClosed);
}

TEST_F(EngineWithSimulator, EchoSplitRepliesAndNoiseDoNotDisturbTheHandshake)
{
    ASSERT_TRUE(sim.setEcho(true));
    ASSERT_TRUE(sim.setSplit(1));
    ASSERT_TRUE(sim.setNoise(true));
    engine->connect(kMountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kStatusWaitMs)) << listener.describe();
    EXPECT_EQ(framesAfter(6), kHandshakeFrames);
}

TEST_F(EngineWithSimulator, UnknownMountClosesThePortWithoutConnectionClosed)
{
    // Either channel's counts can reject the mount; the ":D" frame written
    // right before the port closes still goes out.
    const struct {
        int axis;
        uint32_t counts;
        size_t frames;
    } cases[] = {{1, 799999, 4}, {2, 2500001, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.axis);
        ASSERT_TRUE(sim.reset());
        ASSERT_TRUE(sim.setCounts(c.axis, c.counts));
        listener.clear();
        engine->connect(kMountPort);
        ASSERT_TRUE(listener.waitForStatus(StatusUnknownMount, kStatusWaitMs)) << listener.describe();
        EXPECT_EQ(framesAfter(c.frames),
                  std::vector<std::string>(kHandshakeFrames.begin(), kHandshakeFrames.begin() + c.frames));
        EXPECT_EQ(disconnectStatus(), StatusNotConnectedYet);
        EXPECT_EQ(listener.count(StatusConnectionClosed), 0);
    }
}

TEST_F(EngineWithSimulator, CountsOnTheBoundsAreAccepted)
{
    ASSERT_TRUE(sim.setCounts(1, 800000));
    ASSERT_TRUE(sim.setCounts(2, 2500000));
    engine->connect(kMountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kStatusWaitMs)) << listener.describe();
    EXPECT_EQ(listener.count(StatusUnknownMount), 0);
    // What the engine was ready on is the mount's own figures: its counts and
    // sidereal periods (6732 and 2154 timer ticks a count), and the axes it
    // initialised stand still.
    EXPECT_EQ(sim.replies(),
              (std::vector<std::string>{"=\r", "=\r", "=00350C\r", "=4C1A00\r", "=A02526\r", "=6A0800\r"}));
    for (int number : {1, 2}) {
        SimClient::Axis axis;
        ASSERT_TRUE(sim.axis(number, &axis)) << sim.lastError();
        EXPECT_TRUE(axis.initialised);
        EXPECT_FALSE(axis.running);
    }
}

TEST_P(EngineOnEachTransport, SilentMountTimesOutOnTheTwelfthTick)
{
    ASSERT_TRUE(sim.setSilent(true));
    engine->connect(mountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusConnecting, kStatusWaitMs));
    ASSERT_TRUE(sim.waitForFrames(1, kFrameWaitMs));  // the handshake has started
    for (int tick = 0; tick < 11; ++tick)
        engine->onHeartBeat();
    // A round trip through the engine proves the eleven ticks were handled.
    engine->move(0, 2);
    ASSERT_TRUE(listener.waitForCount(3, kStatusWaitMs));
    EXPECT_EQ(listener.statuses().back(), StatusNotConnectedYet);
    EXPECT_EQ(listener.count(StatusCannotConnect), 0);

    engine->onHeartBeat();
    ASSERT_TRUE(listener.waitForStatus(StatusCannotConnect, kStatusWaitMs));
    EXPECT_EQ(disconnectStatus(), StatusNotConnectedYet);
}

TEST_F(EngineWithSimulator, ErrorReplyDuringHandshakeReportsCommunicationError)
{
    ASSERT_TRUE(sim.setError(":a1", "05"));
    engine->connect(kMountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusCommunicationError, kStatusWaitMs)) << listener.describe();
    // The port stays open but the mount never becomes ready, and ticks no
    // longer time out.
    for (int tick = 0; tick < 12; ++tick)
        engine->onHeartBeat();
    engine->stop(4);
    ASSERT_TRUE(listener.waitForStatus(StatusNotConnectedYet, kStatusWaitMs));
    EXPECT_EQ(listener.count(StatusCannotConnect), 0);
    EXPECT_EQ(disconnectStatus(), StatusConnectionClosed);
}

struct MoveCase {
    uint8_t direction;
    std::vector<std::string> frames;
};

TEST_P(EngineOnEachTransport, EachArrowSendsItsFourFrames)
{
    const MoveCase cases[] = {
        {0, {":L2\r", ":G230\r", ":I2460000\r", ":J2\r"}},
        {1, {":L2\r", ":G231\r", ":I2460000\r", ":J2\r"}},
        {2, {":L1\r", ":G130\r", ":I1460000\r", ":J1\r"}},
        {3, {":L1\r", ":G131\r", ":I1460000\r", ":J1\r"}},
    };
    connectReady();
    for (const MoveCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.direction));
        sim.clearLog();
        engine->move(c.direction, 2);
        EXPECT_EQ(framesAfter(4), c.frames);
        ASSERT_TRUE(listener.waitForStatus(StatusManualMovement, kStatusWaitMs));
    }
    // The simulator's axes move as asked.
    const std::vector<std::string> state = sim.state();
    EXPECT_NE(std::find(state.begin(), state.end(), "axis1 moving mode=3 reverse=1 rate=70"), state.end())
        << ::testing::PrintToString(state);
}

TEST_F(EngineWithSimulator, StopBothChannelsReportsReadyAfterTheFirstReply)
{
    connectReady();
    engine->stop(4);
    EXPECT_EQ(framesAfter(2), (std::vector<std::string>{":L1\r", ":L2\r"}));
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kStatusWaitMs));
}

TEST_F(EngineWithSimulator, RemoteLinesPerInterfaceKind)
{
    connectReady();
    engine->setDslrRemote(0, 3);
    engine->setDslrRemote(0, 2);
    engine->setDslrRemote(2, 3);
    EXPECT_EQ(framesAfter(3), (std::vector<std::string>{":O11\r", ":O10\r", ":X13\r"}));
    // The RTS cable uses the modem lines and sends no frame: a query after it
    // is the next frame the mount sees.
    engine->setDslrRemote(1, 1);
    engine->queryDslrRemote(0);
    EXPECT_EQ(framesAfter(4).back(), ":o1\r");
    ASSERT_TRUE(listener.waitForCount(1, kStatusWaitMs));
    EXPECT_EQ(listener.events().back(), "remote(0,0)");  // ":O10" left the output off
}

TEST_F(EngineWithSimulator, SelfTimerStartsAndReadsBack)
{
    connectReady();
    engine->startDslrTimer(1, 0, 60000);
    engine->readDslrTimer();
    EXPECT_EQ(framesAfter(2), (std::vector<std::string>{":T11060EA\r", ":t1\r"}));
    // A reply belongs to whatever the engine waits for: when ":t1" goes out
    // before the "=" of ":T1" is in, that "=" answers the read (as 0) and the
    // reading itself arrives in Ready. Reading again then gets the time.
    RecordedEvent timer{};
    for (size_t reads = 1; reads <= 3; ++reads) {
        ASSERT_TRUE(listener.waitForCount(reads, kStatusWaitMs)) << listener.describe();
        timer = listener.records().back();
        if (timer.second != 0)
            break;
        engine->readDslrTimer();
    }
    EXPECT_EQ(timer.kind, RecordedEvent::Timer);
    EXPECT_EQ(timer.first, 2);
    // Counting down from 60000 ms; the read comes within a few seconds.
    EXPECT_LE(timer.second, 60000);
    EXPECT_GT(timer.second, 30000);
}

TEST_F(EngineWithSimulator, DisconnectAndReconnect)
{
    connectReady();
    EXPECT_EQ(disconnectStatus(), StatusConnectionClosed);
    sim.clearLog();
    engine->connect(kMountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kStatusWaitMs)) << listener.describe();
    EXPECT_EQ(framesAfter(6), kHandshakeFrames);
    // A second connect while connected is refused and changes nothing.
    engine->connect(kMountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusAlreadyConnected, kStatusWaitMs));
    engine->move(2, 2);
    EXPECT_EQ(framesAfter(10).size(), 10u);
}

// A mount that answers 100 ms late: the answer to the first connection's
// ":F1" arrives after the port has been opened again, and is no answer to
// the second connection's.
TEST_F(EngineWithSimulator, ALateReplyToAnEarlierConnectionIsNoAnswer)
{
    ASSERT_TRUE(sim.setLatency(100));
    engine->connect(kMountPort);
    ASSERT_TRUE(sim.waitForFrames(1, kFrameWaitMs));  // ":F1" is out, its reply on the way
    EXPECT_EQ(disconnectStatus(), StatusConnectionClosed);
    engine->connect(kMountPort);
    ASSERT_TRUE(listener.waitForCount(6, kStatusWaitMs)) << listener.describe();
    EXPECT_EQ(listener.statuses(), (std::vector<int>{StatusOpeningPort, StatusConnecting, StatusConnectionClosed,
                                                     StatusOpeningPort, StatusConnecting, StatusReady}));
}

// Two replies in one write, and so in one read: the last frame's reply
// followed by one more. A silent simulator leaves the answers to the test.
struct DoubledReplyCase {
    const char* what;
    std::vector<std::string> replies;  // one write per frame received
    int status;                        // what the handshake ends with
    int disconnect;                    // the answer to a disconnect after it
};

TEST_F(EngineWithSimulator, TwoRepliesInOneReadNeitherUndoARejectionNorAReadyMount)
{
    const DoubledReplyCase cases[] = {
        // Rejected on ":a1"; the reply after it must not carry on the handshake.
        {"zero counts", {"=\r", "=\r", "=000000\r=\r"}, StatusUnknownMount, StatusNotConnectedYet},
        // Ready on ":D2"; a reply after it must not take the readiness back.
        {"ready", {"=\r", "=\r", "=00F915\r", "=\r", "=00F915\r", "=\r=\r"}, StatusReady, StatusConnectionClosed},
    };
    for (const DoubledReplyCase& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(sim.reset());
        ASSERT_TRUE(sim.setSilent(true));
        listener.clear();
        engine->connect(kMountPort);
        for (size_t i = 0; i < c.replies.size(); ++i) {
            ASSERT_TRUE(sim.waitForFrames(i + 1, kFrameWaitMs)) << listener.describe();
            ASSERT_TRUE(sim.say(c.replies[i]));
        }
        ASSERT_TRUE(listener.waitForStatus(c.status, kStatusWaitMs)) << listener.describe();
        // A ready mount moves; a rejected one has its port closed.
        if (c.status == StatusReady) {
            engine->move(0, 2);
            ASSERT_TRUE(listener.waitForCount(4, kStatusWaitMs)) << listener.describe();
            EXPECT_EQ(listener.statuses().back(), StatusManualMovement);
        }
        EXPECT_EQ(disconnectStatus(), c.disconnect) << listener.describe();
    }
}

TEST_F(EngineWithSimulator, OverlongRepliesAreDroppedSoTheHandshakeTimesOut)
{
    ASSERT_TRUE(sim.setOverlong(60));
    engine->connect(kMountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusConnecting, kStatusWaitMs));
    ASSERT_TRUE(sim.waitForFrames(1, kFrameWaitMs));
    for (int tick = 0; tick < 12; ++tick)
        engine->onHeartBeat();
    ASSERT_TRUE(listener.waitForStatus(StatusCannotConnect, kStatusWaitMs)) << listener.describe();
    EXPECT_EQ(listener.count(StatusReady), 0);
}

// A device that sends faster than the engine drains: the pipe backs up with
// its bytes. Disconnect still ends the connection at once, a click made
// meanwhile does not wait on the port, nothing the user wrote is lost, and
// the same port connects again.
TEST_P(EngineOnEachTransport, AFloodingDeviceStillDisconnectsPromptly)
{
    connectReady();
    // The engine keeps up with a flood on an idle machine; held while it
    // reports the move, as a busy machine holds it, it lets the pipe back up.
    // The hold ends by itself after a while, so a click that waits on the
    // port fails this test instead of hanging it.
    listener.holdAt(StatusManualMovement, 2000);
    ASSERT_TRUE(sim.setFlood(true));
    engine->move(0, 2);
    ASSERT_TRUE(listener.waitUntilHeld(kStatusWaitMs)) << listener.describe();
    const uint64_t floodStart = platform::nowMilliseconds();
    int backlog = 0;
    while (backlog < 2048 && platform::nowMilliseconds() - floodStart < 1500) {
        backlog = std::max(backlog, engine->pipeBacklog());
        platform::sleepMilliseconds(5);
    }
    EXPECT_GE(backlog, 2048) << "the flood did not back the pipe up";

    const uint64_t disconnectAt = platform::nowMilliseconds();
    engine->disconnect();
    engine->stop(4);
    const uint64_t clickTook = platform::nowMilliseconds() - disconnectAt;
    listener.release();
    engine->onHeartBeat();
    ASSERT_TRUE(listener.waitForStatus(StatusConnectionClosed, kStatusWaitMs)) << listener.describe();
    const uint64_t closeTook = platform::nowMilliseconds() - disconnectAt;
    ASSERT_TRUE(listener.waitForStatus(StatusNotConnectedYet, kStatusWaitMs)) << listener.describe();
    std::printf(
        "flood (%s): pipe backlog %d bytes; disconnect and STOP took %llu ms, \"Connection closed\" after %llu ms\n",
        GetParam().name, backlog, static_cast<unsigned long long>(clickTook),
        static_cast<unsigned long long>(closeTook));
    EXPECT_LT(clickTook, 100u);
    EXPECT_LT(closeTook, 1000u);
    // The STOP made after the disconnect is answered after it, in order.
    EXPECT_EQ(listener.statuses(),
              (std::vector<int>{StatusManualMovement, StatusConnectionClosed, StatusNotConnectedYet}));

    // Ends the flood and drops what it still had queued, with the late
    // replies to the move behind it: a mount that answers in time sends none.
    ASSERT_TRUE(sim.reset());
    listener.clear();
    engine->connect(mountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kStatusWaitMs)) << listener.describe();
}

// The device goes away in the middle of a move, as an unplugged adapter does
// (or a serial server that closes the connection): the connection costs next
// to nothing while it lasts, STOP and Disconnect are still handled at once,
// and the device connects again once it is back.
TEST_P(EngineOnEachTransport, ADeviceThatVanishesMidMoveCostsNothingAndComesBack)
{
    connectReady();
    engine->move(0, 2);
    ASSERT_EQ(framesAfter(4).size(), 4u);
    ASSERT_TRUE(listener.waitForStatus(StatusManualMovement, kStatusWaitMs));
    ASSERT_TRUE(sim.vanish());

    // The process's CPU over a second, the engine's threads included.
    const std::clock_t cpuBefore = std::clock();
    const uint64_t wallBefore = platform::nowMilliseconds();
    platform::sleepMilliseconds(1000);
    const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    const double share = cpuMs / static_cast<double>(platform::nowMilliseconds() - wallBefore);
#ifndef _WIN32
    // (Under wine clock() counts wall time, not CPU.)
    std::printf("vanished device (%s): %.2f %% of a core\n", GetParam().name, 100.0 * share);
    EXPECT_LT(share, 0.05) << "no busy loop";
#else
    (void)share;
#endif

    const uint64_t clickAt = platform::nowMilliseconds();
    engine->stop(4);
    EXPECT_LT(platform::nowMilliseconds() - clickAt, 100u);
    if (datagrams()) {
        // An adapter that has gone only falls silent: its "port unreachable"
        // is no error, and the STOP goes unanswered, as on a cable to a
        // switched-off mount.
        EXPECT_EQ(disconnectStatus(), StatusConnectionClosed);
        EXPECT_EQ(listener.statuses(), (std::vector<int>{StatusManualMovement, StatusConnectionClosed}));
    } else {
        // Its frame cannot be written, and STOP says so; so does a move,
        // after the movement it reports at once.
        ASSERT_TRUE(listener.waitForStatus(StatusCommunicationError, kStatusWaitMs)) << listener.describe();
        engine->move(2, 2);
        ASSERT_TRUE(listener.waitForStatus(StatusCommunicationError, kStatusWaitMs, 2)) << listener.describe();
        EXPECT_EQ(listener.statuses(), (std::vector<int>{StatusManualMovement, StatusCommunicationError,
                                                         StatusManualMovement, StatusCommunicationError}));
        EXPECT_EQ(disconnectStatus(), StatusConnectionClosed);
    }
    EXPECT_LT(platform::nowMilliseconds() - clickAt, 1000u);

    ASSERT_TRUE(sim.restore());
    listener.clear();
    engine->connect(mountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kStatusWaitMs)) << listener.describe();
}

#ifndef _WIN32
// The last port of the dialog's list travels in a longer connect message;
// reach the simulator through a COM256 link of the user's link directory.
TEST_F(EngineWithSimulator, Com256ReachesPort256)
{
    char mountPath[512];
    platform::portDevicePath(kMountPort, mountPath, sizeof mountPath);
    const std::string link = portLinkPath(256);
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(mountPath, link.c_str()), 0) << link;
    engine->connect(256);
    const bool ready = listener.waitForStatus(StatusReady, kStatusWaitMs);
    ::unlink(link.c_str());
    ASSERT_TRUE(ready) << listener.describe();
    EXPECT_EQ(framesAfter(6), kHandshakeFrames);
}
#endif

}  // namespace

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>

namespace {

std::atomic<int> failedReads{0};

void countFailedReads(const char* operation, long, bool succeeded, const uint8_t*, uint32_t)
{
    if (!succeeded && std::string(operation) == "read")
        ++failedReads;
}

// A device that takes no more bytes (its queue is full and nothing reads it):
// each frame gives up after its 1000 ms and the engine goes on.
TEST_F(EngineWithSimulator, ADeviceThatTakesNoWritesDelaysEachFrameByItsWaitOnly)
{
    connectReady();
    ASSERT_TRUE(sim.setStall(true));
    char path[512];
    platform::portDevicePath(kMountPort, path, sizeof path);
    const int filler = ::open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(filler, 0) << path;
    // The pty moves queued bytes on behind the writer's back: fill it until
    // it stays full.
    const std::string block(512, 'x');
    for (int round = 0; round < 50; ++round) {
        size_t accepted = 0;
        for (ssize_t n; (n = ::write(filler, block.data(), round == 0 ? block.size() : 1)) > 0;)
            accepted += static_cast<size_t>(n);
        if (round > 0 && accepted == 0)
            break;
        platform::sleepMilliseconds(20);
    }

    const uint64_t moveAt = platform::nowMilliseconds();
    engine->move(0, 2);
    ASSERT_TRUE(listener.waitForStatus(StatusManualMovement, kStatusWaitMs)) << listener.describe();
    const uint64_t took = platform::nowMilliseconds() - moveAt;
    EXPECT_GE(took, 900u) << "the frame's write waited";
    EXPECT_LT(took, 3000u) << "and gave up after its 1000 ms";
    EXPECT_EQ(disconnectStatus(), StatusConnectionClosed);
    ::close(filler);

    ASSERT_TRUE(sim.setStall(false));
    listener.clear();
    engine->connect(kMountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kStatusWaitMs)) << listener.describe();
}

// Another program holds the port: "Error: Cannot open port", and a connect
// once it is free works. (Wine does not refuse a second open.)
TEST_F(EngineWithSimulator, APortHeldByAnotherProgramCannotBeOpenedUntilFree)
{
    platform::SerialPort* held = platform::serialOpen(kMountPort);
    ASSERT_NE(held, nullptr);
    engine->connect(kMountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusCannotOpenPort, kStatusWaitMs)) << listener.describe();
    EXPECT_EQ(listener.statuses(), (std::vector<int>{StatusOpeningPort, StatusCannotOpenPort}));
    platform::serialClose(held);
    engine->connect(kMountPort);
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kStatusWaitMs)) << listener.describe();
}

// Nobody at the address: a WiFi adapter that is not there only stays silent,
// so the handshake times out on its twelfth tick, however often the system
// answers "port unreachable"; a serial server that is not there refuses the
// connection, and the port does not open, at once.
TEST(AbsentPeer, UdpTimesOutAndTcpCannotOpen)
{
    // A port of the loopback address that nobody holds: one the system gave
    // out and took back.
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size), 0);
    ::close(probe);
    const std::string where = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    const std::string link = portLinkPath(42);

    RecordingListener listener;
    EngineTestSeam* engine = new EngineTestSeam(&listener);
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(("udp://" + where).c_str(), link.c_str()), 0);
    engine->connect(42);
    ASSERT_TRUE(listener.waitForStatus(StatusConnecting, kStatusWaitMs)) << listener.describe();
    // Time for ":F1" to go out and be refused before the ticks.
    platform::sleepMilliseconds(700);
    for (int tick = 0; tick < 12; ++tick)
        engine->onHeartBeat();
    ASSERT_TRUE(listener.waitForStatus(StatusCannotConnect, kStatusWaitMs)) << listener.describe();
    EXPECT_EQ(listener.statuses(), (std::vector<int>{StatusOpeningPort, StatusConnecting, StatusCannotConnect}));

    listener.clear();
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(("tcp://" + where).c_str(), link.c_str()), 0);
    const uint64_t connectAt = platform::nowMilliseconds();
    engine->connect(42);
    ASSERT_TRUE(listener.waitForStatus(StatusCannotOpenPort, kStatusWaitMs)) << listener.describe();
    EXPECT_LT(platform::nowMilliseconds() - connectAt, 1000u) << "refused at once";
    EXPECT_EQ(listener.statuses(), (std::vector<int>{StatusOpeningPort, StatusCannotOpenPort}));
    ::unlink(link.c_str());
    ASSERT_TRUE(engine->stopThreads(20000));
    engine->releaseLocks();
    delete engine;
}

// A device that goes away under an open connection: the port reader backs
// off instead of spinning on the failing reads, and a disconnect still ends
// it at once.
TEST(DeviceThatDisappears, ReaderBacksOffAndStillStopsPromptly)
{
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string link = portLinkPath(41);
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(::ttyname(slave), link.c_str()), 0);
    ::close(slave);

    RecordingListener listener;
    TelescopeControl* engine = new TelescopeControl(&listener);
    engine->connect(41);
    ASSERT_TRUE(listener.waitForStatus(StatusConnecting, kStatusWaitMs)) << listener.describe();

    failedReads = 0;
    platform::setSerialTrace(&countFailedReads);
    ::close(master);  // the device is gone
    const uint64_t start = platform::nowMilliseconds();
    while (failedReads.load() == 0 && platform::nowMilliseconds() - start < 5000)
        platform::sleepMilliseconds(10);
    const int firstFailures = failedReads.load();
    // A rate needs an interval to count over.
    platform::sleepMilliseconds(600);
    const int failuresMeanwhile = failedReads.load() - firstFailures;
    platform::setSerialTrace(nullptr);
    EXPECT_GE(firstFailures, 1) << "the reader saw the device fail";
    // About one retry per 200 ms; a spinning reader would fail thousands of times.
    EXPECT_LE(failuresMeanwhile, 15);

    const uint64_t disconnectAt = platform::nowMilliseconds();
    engine->disconnect();
    ASSERT_TRUE(listener.waitForStatus(StatusConnectionClosed, kStatusWaitMs)) << listener.describe();
    EXPECT_LT(platform::nowMilliseconds() - disconnectAt, 3000u);

    ASSERT_TRUE(engine->stopThreads(20000));
    engine->releaseLocks();
    delete engine;
    ::unlink(link.c_str());
}

}  // namespace
#endif
