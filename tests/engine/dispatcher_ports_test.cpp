// The connect sequence, the port reader thread and the close on real serial
// devices: the engine opens COM5, the test plays the mount on COM6, the other
// end of a null-modem pair.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/status_codes.h"
#include "engine/telescope_control.h"
#include "platform/platform.h"
#include "tests/support/line_peer.h"
#include "tests/support/recorders.h"

#if !defined(_WIN32)
#include <filesystem>
#endif

namespace {

constexpr unsigned kEnginePort = 5;
constexpr unsigned kPeerPort = 6;
constexpr uint32_t kWaitMs = 10000;

using Frames = LinePeer::Frames;

using Statuses = std::vector<int>;

class EngineOnAPort : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(peer.open(kPeerPort)) << "COM6, the null-modem end"; }

    void TearDown() override
    {
        ASSERT_TRUE(control.stopThreads(2 * kWaitMs));
        control.releaseLocks();
    }

    // Connects and waits for the handshake's first frame on the line.
    void connectAndSeeTheFirstFrame()
    {
        control.connect(kEnginePort);
        ASSERT_TRUE(listener.waitForStatus(StatusConnecting, kWaitMs)) << listener.describe();
        ASSERT_EQ((Frames{":F1\r"}), peer.readFrames(1));
    }

    // Answers the handshake frame by frame, with `counts2` for channel 2.
    void answerHandshake(const std::string& counts2 = "=A02526\r")
    {
        const Frames expected = {":F2\r", ":a1\r", ":D1\r", ":a2\r", ":D2\r"};
        const std::string replies[] = {"=\r", "=\r", "=00F915\r", "=\r", counts2, "=\r"};
        peer.write(replies[0]);
        for (size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ((Frames{expected[i]}), peer.readFrames(1)) << i;
            peer.write(replies[i + 1]);
        }
    }

    // A round trip through the engine: statuses up to the disconnect's answer.
    int disconnectStatus()
    {
        const size_t before = listener.count();
        control.disconnect();
        EXPECT_TRUE(listener.waitForCount(before + 1, kWaitMs));
        return listener.statuses().back();
    }

    LinePeer peer;
    RecordingListener listener;
    EngineTestSeam control{&listener};
};

TEST_F(EngineOnAPort, ConnectOpensThePortThenStartsTheHandshakeAfterAPause)
{
    const uint64_t asked = platform::nowMilliseconds();
    control.connect(kEnginePort);
    ASSERT_TRUE(listener.waitForStatus(StatusConnecting, kWaitMs)) << listener.describe();
    EXPECT_EQ((Statuses{StatusOpeningPort, StatusConnecting}), listener.statuses());
    ASSERT_EQ((Frames{":F1\r"}), peer.readFrames(1));
    // The handshake waits 500 ms after the port opened; a generous bound.
    EXPECT_GE(platform::nowMilliseconds() - asked, 400u);
    EXPECT_EQ((Statuses{StatusOpeningPort, StatusConnecting}), listener.statuses());
}

TEST_F(EngineOnAPort, ASecondConnectIsAlreadyConnectedAndTouchesNothing)
{
    connectAndSeeTheFirstFrame();
    control.connect(kEnginePort);
    control.connect(kPeerPort);
    control.connect(200);
    ASSERT_TRUE(listener.waitForStatus(StatusAlreadyConnected, kWaitMs, 3)) << listener.describe();
    EXPECT_EQ((Statuses{9, 10, 4, 4, 4}), listener.statuses());
    // The handshake goes on where it was.
    answerHandshake();
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kWaitMs)) << listener.describe();
}

TEST_F(EngineOnAPort, TheWholeHandshakeOverTheLine)
{
    connectAndSeeTheFirstFrame();
    answerHandshake();
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kWaitMs)) << listener.describe();
    EXPECT_EQ((Statuses{9, 10, 11}), listener.statuses());

    control.readDslrTimer();
    ASSERT_EQ((Frames{":t1\r"}), peer.readFrames(1));
    // An echo and a reply cut in three pieces on the way back.
    peer.write(":t1\r=E");
    peer.write("80");
    peer.write("3\r\n");
    ASSERT_TRUE(listener.waitForEvent("timer(2,1000)", kWaitMs)) << listener.describe();

    control.move(2, 2);
    ASSERT_EQ((Frames{":L1\r"}), peer.readFrames(1));
    peer.write("=\r");
    ASSERT_EQ((Frames{":G130\r"}), peer.readFrames(1));
    peer.write("=\r");
    ASSERT_EQ((Frames{":I1460000\r"}), peer.readFrames(1));
    peer.write("=\r");
    ASSERT_EQ((Frames{":J1\r"}), peer.readFrames(1));
    EXPECT_EQ(StatusConnectionClosed, disconnectStatus());
}

TEST_F(EngineOnAPort, DisconnectClosesAndAReconnectStartsOver)
{
    connectAndSeeTheFirstFrame();
    EXPECT_EQ(StatusConnectionClosed, disconnectStatus());
    EXPECT_EQ(StatusNotConnectedYet, disconnectStatus());
    listener.clear();
    // A new reader thread: replies reach the engine again.
    connectAndSeeTheFirstFrame();
    EXPECT_EQ((Statuses{9, 10}), listener.statuses());
    answerHandshake();
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kWaitMs)) << listener.describe();
}

TEST_F(EngineOnAPort, TheTwelfthTickEndsTheHandshakeAndClosesThePort)
{
    connectAndSeeTheFirstFrame();
    for (int tick = 0; tick < 11; ++tick)
        control.onHeartBeat();
    control.connect(kEnginePort);  // still open
    ASSERT_TRUE(listener.waitForStatus(StatusAlreadyConnected, kWaitMs)) << listener.describe();
    control.onHeartBeat();
    ASSERT_TRUE(listener.waitForStatus(StatusCannotConnect, kWaitMs)) << listener.describe();
    EXPECT_EQ(StatusNotConnectedYet, disconnectStatus());
    EXPECT_EQ((Statuses{9, 10, 4, 5, 8}), listener.statuses());
    // Closed, so the port opens again.
    connectAndSeeTheFirstFrame();
}

TEST_F(EngineOnAPort, AnUnknownMountIsGivenUpAfterItsLastFrame)
{
    connectAndSeeTheFirstFrame();
    answerHandshake("=FF340C\r");  // 799999 on channel 2
    ASSERT_TRUE(listener.waitForStatus(StatusUnknownMount, kWaitMs)) << listener.describe();
    EXPECT_EQ(StatusNotConnectedYet, disconnectStatus());
    EXPECT_EQ((Statuses{9, 10, 6, 8}), listener.statuses());
}

TEST_F(EngineOnAPort, AnErrorReplyLeavesThePortOpenButNeverReady)
{
    connectAndSeeTheFirstFrame();
    peer.write("=\r");
    ASSERT_EQ((Frames{":F2\r"}), peer.readFrames(1));
    peer.write("!05\r");
    ASSERT_TRUE(listener.waitForStatus(StatusCommunicationError, kWaitMs)) << listener.describe();
    for (int tick = 0; tick < 12; ++tick)
        control.onHeartBeat();
    control.move(0, 2);
    ASSERT_TRUE(listener.waitForStatus(StatusNotConnectedYet, kWaitMs)) << listener.describe();
    EXPECT_EQ(StatusConnectionClosed, disconnectStatus());
    EXPECT_EQ((Statuses{9, 10, 7, 8, 1}), listener.statuses());
}

TEST_F(EngineOnAPort, StopThreadsEndsAnOpenConnectionQuietly)
{
    connectAndSeeTheFirstFrame();
    ASSERT_TRUE(control.stopThreads(2 * kWaitMs));
    // Nothing was sent to the mount and nothing reported on the way out.
    EXPECT_EQ("", peer.drain(300));
    EXPECT_EQ((Statuses{9, 10}), listener.statuses());
    // The device is free again.
    platform::SerialPort* again = platform::serialOpen(kEnginePort);
    EXPECT_NE(nullptr, again);
    if (again != nullptr)
        platform::serialClose(again);
}

TEST_F(EngineOnAPort, StopThreadsDuringThePauseSendsNoFrame)
{
    control.connect(kEnginePort);
    ASSERT_TRUE(listener.waitForStatus(StatusConnecting, kWaitMs));
    // Ends the pause instead of waiting it out; a generous bound.
    const uint64_t asked = platform::nowMilliseconds();
    ASSERT_TRUE(control.stopThreads(2 * kWaitMs));
    EXPECT_LT(platform::nowMilliseconds() - asked, 100u);
    EXPECT_EQ("", peer.drain(TelescopeControl::kHandshakePauseMs + 200));
}

// ---- Late replies: nothing received before the first frame answers it ----

TEST_F(EngineOnAPort, AReplyThatArrivesDuringThePauseIsNotAnAnswer)
{
    connectAndSeeTheFirstFrame();
    EXPECT_EQ(StatusConnectionClosed, disconnectStatus());
    control.connect(kEnginePort);
    ASSERT_TRUE(listener.waitForStatus(StatusConnecting, kWaitMs, 2)) << listener.describe();
    // The earlier connection's ":F1" answered late, after the port reopened.
    peer.write("=\r");
    ASSERT_EQ((Frames{":F1\r"}), peer.readFrames(1));
    // A late reply taken for an answer would have sent ":F2" at once.
    EXPECT_EQ("", peer.drain(200));
    answerHandshake();
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kWaitMs)) << listener.describe();
    EXPECT_EQ((Statuses{9, 10, 1, 9, 10, 11}), listener.statuses());
}

TEST_F(EngineOnAPort, AReplyAnEarlierReaderLeftInThePipeIsNotAnAnswer)
{
    connectAndSeeTheFirstFrame();
    // Hold the engine so that the reply the reader forwards lands in the
    // pipe behind the disconnect and the new connect.
    listener.holdAt(StatusNotConnectedYet, kWaitMs);
    control.move(0, 2);
    ASSERT_TRUE(listener.waitUntilHeld(kWaitMs));
    control.disconnect();
    control.connect(kEnginePort);
    const int queued = control.pipeBacklog();
    peer.write("=\r");
    const uint64_t start = platform::nowMilliseconds();
    while (control.pipeBacklog() == queued && platform::nowMilliseconds() - start < kWaitMs)
        platform::sleepMilliseconds(1);
    ASSERT_GT(control.pipeBacklog(), queued) << "the reply reached the pipe";
    listener.release();

    ASSERT_EQ((Frames{":F1\r"}), peer.readFrames(1));
    // A late reply taken for an answer would have sent ":F2" at once.
    EXPECT_EQ("", peer.drain(200));
    answerHandshake();
    ASSERT_TRUE(listener.waitForStatus(StatusReady, kWaitMs)) << listener.describe();
    EXPECT_EQ((Statuses{9, 10, 8, 1, 9, 10, 11}), listener.statuses());
}

#if !defined(_WIN32)
// Natively a COM number above 255 only exists as a link; give 256 the
// null-modem end that COM5 is, and the handshake frame shows it was reached.
TEST_F(EngineOnAPort, Port256IsReached)
{
    namespace fs = std::filesystem;
    char com5[512], com256[512];
    platform::portDevicePath(kEnginePort, com5, sizeof com5);
    platform::portDevicePath(256, com256, sizeof com256);
    ASSERT_NE('\0', com256[0]);
    std::error_code error;
    fs::remove(com256, error);
    fs::create_symlink(fs::read_symlink(com5), com256, error);
    ASSERT_FALSE(error) << error.message();

    control.connect(256);
    const bool connected = listener.waitForStatus(StatusConnecting, kWaitMs);
    const Frames frames = peer.readFrames(1);
    fs::remove(com256, error);
    ASSERT_TRUE(connected) << listener.describe();
    EXPECT_EQ((Frames{":F1\r"}), frames);
}
#endif

}  // namespace
