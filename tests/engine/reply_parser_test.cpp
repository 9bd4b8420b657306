// The reply parser: cutting the mount's replies out of received bytes. The
// protocol state shows which replies reached the state machine: in a
// handshake state each reply sends the next frame, in TimerRead a reply's
// digits come back as the timer value.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine_fixture.h"

namespace {

using ReplyParser = EngineSteps;

TEST_F(ReplyParser, AnEchoBeforeAReplyIsSkipped)
{
    inState(HandshakeF1);
    EXPECT_EQ(0, parse(":F1\r=\r"));
    EXPECT_EQ((Frames{":F2\r"}), control.frames());
    EXPECT_EQ(HandshakeF2, control.protocolState);
}

TEST_F(ReplyParser, AnEchoRunsToALineFeedToo)
{
    inState(HandshakeF1);
    parse(":F1\n=\r");
    EXPECT_EQ((Frames{":F2\r"}), control.frames());
}

TEST_F(ReplyParser, AnEchoWithoutItsEndSwallowsTheReply)
{
    inState(HandshakeF1);
    EXPECT_EQ(0, parse(":F1=\r"));
    EXPECT_TRUE(control.frames().empty());
    EXPECT_EQ(HandshakeF1, control.protocolState);
    EXPECT_EQ(SeekLead, control.replyState);
}

TEST_F(ReplyParser, AReplySplitOverTwoMessagesIsOneReply)
{
    inState(HandshakeF1);
    EXPECT_EQ(0, parse("=0"));
    EXPECT_TRUE(control.frames().empty());
    EXPECT_EQ(CollectReply, control.replyState);
    EXPECT_EQ(0, parse("\r"));
    EXPECT_EQ((Frames{":F2\r"}), control.frames());
}

TEST_F(ReplyParser, ASplitReplyKeepsItsDigits)
{
    inState(TimerRead);
    parse("=E");
    parse("80");
    parse("3\r");
    EXPECT_EQ((Events{"timer(2,1000)"}), listener.events());
}

TEST_F(ReplyParser, AnErrorReplyIsDeliveredLikeASuccess)
{
    inState(TimerRead);
    EXPECT_EQ(0, parse("!05\r"));
    EXPECT_EQ((Events{"status(7)"}), listener.events());
    EXPECT_EQ(Ready, control.protocolState);
    EXPECT_EQ(SeekLead, control.replyState);
}

TEST_F(ReplyParser, ALineFeedAfterTheCarriageReturnIsIgnored)
{
    inState(HandshakeF1);
    parse("=\r\n");
    EXPECT_EQ(SeekLead, control.replyState);
    parse("\n\r\r=\r");
    EXPECT_EQ((Frames{":F2\r", ":a1\r"}), control.frames());
}

TEST_F(ReplyParser, NoiseBetweenRepliesIsIgnored)
{
    inState(HandshakeF1);
    parse("x7\x01\xff?");
    EXPECT_EQ(SeekLead, control.replyState);
    parse("=\r");
    EXPECT_EQ((Frames{":F2\r"}), control.frames());
}

TEST_F(ReplyParser, LeadCharactersInsideAReplyAreData)
{
    // ":", "=" and "!" after the lead are stored like any data character.
    inState(TimerRead);
    parse("==!:A\r");
    EXPECT_EQ(Ready, control.protocolState);
    // hexNibble gives "=" 13, "!" 10, ":" 10, "A" 10.
    EXPECT_EQ((Events{"timer(2,43738)"}), listener.events());
}

TEST_F(ReplyParser, FortyEightDataCharactersAreDelivered)
{
    inState(TimerRead);
    parse("=E803" + std::string(44, '7') + "\r");
    EXPECT_EQ((Events{"timer(2,1000)"}), listener.events());
}

TEST_F(ReplyParser, FortyNineDataCharactersAreDropped)
{
    inState(TimerRead);
    EXPECT_EQ(0, parse("=E803" + std::string(45, '7') + "\r"));
    EXPECT_TRUE(listener.events().empty());
    EXPECT_EQ(TimerRead, control.protocolState);
    EXPECT_EQ(SeekLead, control.replyState);
    // The parser is ready for the next reply.
    parse("=FFFF\r");
    EXPECT_EQ((Events{"timer(2,65535)"}), listener.events());
}

TEST_F(ReplyParser, AnOverlongReplyIsScannedAfreshFromItsFiftyFirstCharacter)
{
    // 60 data characters; the 50th is dropped and "=E803..." from the 51st
    // on is a reply of its own.
    inState(TimerRead);
    parse("=" + std::string(50, '0') + "=E80300000" + "\r");
    EXPECT_EQ((Events{"timer(2,1000)"}), listener.events());
}

TEST_F(ReplyParser, TheFiftiethDataCharacterIsDroppedUnread)
{
    // A lead character in that place starts nothing.
    inState(TimerRead);
    parse("=" + std::string(49, '0') + "=E803\r");
    EXPECT_TRUE(listener.events().empty());
    EXPECT_EQ(TimerRead, control.protocolState);
}

TEST_F(ReplyParser, AGiveUpAfterAnOrdinaryReplyIsReturned)
{
    // The second reply is a counts reply of zero: unknown mount, result 2.
    inState(HandshakeD1);
    EXPECT_EQ(2, parse("=\r=\r"));
    EXPECT_EQ((Frames{":a2\r", ":D2\r"}), control.frames());
    EXPECT_EQ((Events{"status(6)"}), listener.events());
}

TEST_F(ReplyParser, AGiveUpEndsTheMessageAndIsReturned)
{
    // ":a1" answered with zero counts and one more reply in the same read:
    // the port is about to close, so the second reply must not go on with
    // the handshake of the rejected mount.
    inState(HandshakeCounts1);
    EXPECT_EQ(2, parse("=000000\r=\r=\r"));
    EXPECT_EQ((Frames{":D1\r"}), control.frames());
    EXPECT_EQ((Events{"status(6)"}), listener.events());
    EXPECT_EQ(HandshakeD1, control.protocolState);
}

TEST_F(ReplyParser, ACompletedHandshakeIsNotLostToALaterReply)
{
    // The first reply completes the handshake (1); the second arrives in
    // Ready (0) and is ignored, but the completion stands.
    inState(HandshakeD2);
    control.heartbeatCountdown = 5;
    EXPECT_EQ(1, parse("=\r=\r"));
    EXPECT_EQ((Events{"status(11)"}), listener.events());
    EXPECT_EQ(Ready, control.protocolState);
    // Nor to an error reply after it.
    inState(HandshakeD2);
    listener.clear();
    EXPECT_EQ(1, parse("=\r!05\r"));
    EXPECT_EQ((Events{"status(11)", "status(7)"}), listener.events());
}

TEST_F(ReplyParser, AMessageWithoutACompletedReplyReturnsZero)
{
    inState(HandshakeD2);
    EXPECT_EQ(0, parse("=00"));
    EXPECT_EQ(1, parse("\r"));
}

TEST_F(ReplyParser, AnUnknownParserStateReturnsToSeekingAndDropsTheByte)
{
    inState(HandshakeF1);
    control.replyState = 7;
    parse("=\r");
    EXPECT_TRUE(control.frames().empty());
    EXPECT_EQ(SeekLead, control.replyState);
    parse("=\r");
    EXPECT_EQ((Frames{":F2\r"}), control.frames());
}

// ---- Short replies: the decoders must not read an earlier reply ----------

TEST_F(ReplyParser, AShortTimerReplyReadsMissingDigitsAsZero)
{
    inState(Ready);
    parse("=FFFFFFFF\r");  // ignored in Ready, but fills the buffer
    inState(TimerRead);
    parse("=E8\r");
    EXPECT_EQ((Events{"timer(2,232)"}), listener.events());
}

TEST_F(ReplyParser, AnEmptyTimerReplyReadsZero)
{
    inState(Ready);
    parse("=FFFF\r");
    inState(TimerRead);
    parse("=\r");
    EXPECT_EQ((Events{"timer(2,0)"}), listener.events());
}

TEST_F(ReplyParser, AShortCountsReplyIsPaddedNotCompletedFromTheLastOne)
{
    // "=00350C" is a good count; stale digits behind "=1" would make 800016.
    inState(Ready);
    parse("=00350C\r");
    inState(HandshakeCounts1);
    EXPECT_EQ(2, parse("=1\r"));
    EXPECT_EQ((Events{"status(6)"}), listener.events());
    EXPECT_EQ((Frames{":D1\r"}), control.frames());
}

TEST_F(ReplyParser, AnEmptyRemoteReplyReadsZero)
{
    inState(Ready);
    parse("=5\r");
    inState(QueryRemoteOutput);
    parse("=\r");
    EXPECT_EQ((Events{"remote(0,0)"}), listener.events());
}

// ---- Splitting ------------------------------------------------------------

// A whole handshake as a mount that echoes its frames would send it.
const std::string kHandshakeStream = ":F1\r=\r\n:F2\r=\r:a1\r=00F915\r\n:D1\r=\r:a2\r=A02526\r:D2\r=\r\n";
const Frames kHandshakeFrames = {":F2\r", ":a1\r", ":D1\r", ":a2\r", ":D2\r"};

TEST_F(ReplyParser, TheWholeHandshakeInOneGo)
{
    control.startHandshake();
    control.clearFrames();
    EXPECT_EQ(1, parse(kHandshakeStream));
    EXPECT_EQ(kHandshakeFrames, control.frames());
    EXPECT_EQ((Events{"status(11)"}), listener.events());
}

TEST_F(ReplyParser, EverySplitOfTheHandshakeGivesTheSameFrames)
{
    for (size_t split = 1; split < kHandshakeStream.size(); ++split) {
        control.startHandshake();
        control.clearFrames();
        listener.clear();
        const int results =
            parseCounting(kHandshakeStream.substr(0, split)) + parseCounting(kHandshakeStream.substr(split));
        EXPECT_EQ(1, results) << "split at " << split;
        EXPECT_EQ(kHandshakeFrames, control.frames()) << "split at " << split;
        EXPECT_EQ((Events{"status(11)"}), listener.events()) << "split at " << split;
    }
}

TEST_F(ReplyParser, ByteByByteGivesTheSameFrames)
{
    control.startHandshake();
    control.clearFrames();
    int results = 0;
    for (char byte : kHandshakeStream)
        results += parseCounting(std::string(1, byte));
    EXPECT_EQ(1, results);
    EXPECT_EQ(kHandshakeFrames, control.frames());
    EXPECT_EQ((Events{"status(11)"}), listener.events());
}

// ---- Any bytes at all ------------------------------------------------------

TEST_F(ReplyParser, RandomBytesKeepTheParserInItsBounds)
{
    // Mostly the characters that matter, some of anything; every state in
    // turn. The sanitizer builds watch the buffer.
    const char kAlphabet[] = "=!:\r\n0123456789ABCDEFabcdef";
    std::mt19937 random(20261207);
    for (int round = 0; round < 400; ++round) {
        control.protocolState = static_cast<int32_t>(random() % 20);
        control.heartbeatCountdown = static_cast<int32_t>(random() % 13);
        std::string bytes;
        const size_t length = 1 + random() % 200;
        for (size_t i = 0; i < length; ++i) {
            bytes +=
                (random() % 4 == 0) ? static_cast<char>(random() % 256) : kAlphabet[random() % (sizeof kAlphabet - 1)];
        }
        const int result = parse(bytes);
        EXPECT_TRUE(result == 0 || result == 1 || result == 2) << result;
        EXPECT_GE(control.replyState, SeekLead);
        EXPECT_LE(control.replyState, SkipEcho);
        EXPECT_GE(control.replyLength, 0);
        EXPECT_LE(control.replyLength, TelescopeControl::kReplyBufferSize);
        if (HasFailure())
            break;
    }
    for (const std::string& frame : control.frames()) {
        EXPECT_GE(frame.size(), 4u);
        EXPECT_LE(frame.size(), 10u);
        EXPECT_EQ(':', frame.front());
        EXPECT_EQ('\r', frame.back());
    }
}

}  // namespace
