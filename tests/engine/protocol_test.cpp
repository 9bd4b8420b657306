// The protocol state machine, driven step by step on the engine thread's
// behalf: which frame each step and reply sends, what it reports, and which
// state follows.
#include <gtest/gtest.h>

#include <string>

#include "engine_fixture.h"

namespace {

// ---- Handshake --------------------------------------------------------------

using Handshake = EngineSteps;

TEST_F(Handshake, SixRepliesSixFramesThenReady)
{
    control.replyState = CollectError;
    EXPECT_EQ(0, control.startHandshake());
    EXPECT_EQ(HandshakeF1, control.protocolState);
    EXPECT_EQ(12, control.heartbeatCountdown);
    EXPECT_EQ(SeekLead, control.replyState);
    EXPECT_EQ((Frames{":F1\r"}), control.frames());

    const struct {
        const char* reply;
        ProtocolState next;
        const char* frame;
    } steps[] = {
        {"=", HandshakeF2, ":F2\r"},      {"=", HandshakeCounts1, ":a1\r"},  {"=00F915", HandshakeD1, ":D1\r"},
        {"=", HandshakeCounts2, ":a2\r"}, {"=00F915", HandshakeD2, ":D2\r"},
    };
    for (const auto& step : steps) {
        control.clearFrames();
        EXPECT_EQ(0, reply(step.reply)) << step.frame;
        EXPECT_EQ(step.next, control.protocolState) << step.frame;
        EXPECT_EQ((Frames{step.frame}), control.frames());
        EXPECT_TRUE(listener.events().empty()) << step.frame;
    }
    control.clearFrames();
    EXPECT_EQ(1, reply("="));
    EXPECT_EQ(Ready, control.protocolState);
    EXPECT_EQ(0, control.heartbeatCountdown);
    EXPECT_TRUE(control.frames().empty());
    EXPECT_EQ((Events{"status(11)"}), listener.events());
}

TEST_F(Handshake, StartsAfreshFromAnyState)
{
    inState(MoveRate1);
    control.heartbeatCountdown = 3;
    EXPECT_EQ(0, control.startHandshake());
    EXPECT_EQ(HandshakeF1, control.protocolState);
    EXPECT_EQ(12, control.heartbeatCountdown);
}

struct CountsCase {
    const char* reply;
    bool accepted;
};

const CountsCase kCountsCases[] = {
    {"=00350C", true},   // 800000
    {"=A02526", true},   // 2500000
    {"=00F915", true},   // 1440000
    {"=FF340C", false},  // 799999
    {"=A12526", false},  // 2500001
    {"=000000", false},
    {"=FFFFFF", false},
    // A lower-case letter weighs 32 more than its upper-case twin.
    {"=a02526", false},  // 2500512
    {"=ff340C", true},   // 800543
};

TEST_F(Handshake, CountsOfChannelOneOutsideTheRangeGiveUp)
{
    for (const CountsCase& c : kCountsCases) {
        control.startHandshake();
        inState(HandshakeCounts1);
        control.clearFrames();
        listener.clear();
        const int result = reply(c.reply);
        EXPECT_EQ(c.accepted ? 0 : 2, result) << c.reply;
        EXPECT_EQ((Frames{":D1\r"}), control.frames()) << c.reply;
        EXPECT_EQ(HandshakeD1, control.protocolState) << c.reply;
        EXPECT_EQ(c.accepted ? Events{} : Events{"status(6)"}, listener.events()) << c.reply;
    }
}

TEST_F(Handshake, CountsOfChannelTwoOutsideTheRangeGiveUp)
{
    for (const CountsCase& c : kCountsCases) {
        control.startHandshake();
        inState(HandshakeCounts2);
        control.clearFrames();
        listener.clear();
        const int result = reply(c.reply);
        EXPECT_EQ(c.accepted ? 0 : 2, result) << c.reply;
        EXPECT_EQ((Frames{":D2\r"}), control.frames()) << c.reply;
        EXPECT_EQ(HandshakeD2, control.protocolState) << c.reply;
        EXPECT_EQ(c.accepted ? Events{} : Events{"status(6)"}, listener.events()) << c.reply;
    }
}

TEST_F(Handshake, TimesOutOnTheTwelfthTick)
{
    control.startHandshake();
    for (int tick = 1; tick <= 11; ++tick)
        EXPECT_EQ(0, control.countDownHandshake()) << "tick " << tick;
    EXPECT_TRUE(listener.events().empty());
    EXPECT_EQ(2, control.countDownHandshake());
    EXPECT_EQ((Events{"status(5)"}), listener.events());
    EXPECT_EQ(0, control.heartbeatCountdown);
    // The countdown has run out: later ticks do nothing.
    for (int tick = 0; tick < 20; ++tick)
        EXPECT_EQ(0, control.countDownHandshake());
    EXPECT_EQ(1u, listener.count());
    EXPECT_EQ(0, control.heartbeatCountdown);
}

TEST_F(Handshake, TimesOutInEveryHandshakeState)
{
    const ProtocolState states[] = {HandshakeF1, HandshakeF2,      HandshakeCounts1,
                                    HandshakeD1, HandshakeCounts2, HandshakeD2};
    for (ProtocolState state : states) {
        listener.clear();
        control.startHandshake();
        inState(state);
        for (int tick = 1; tick <= 11; ++tick)
            control.countDownHandshake();
        EXPECT_EQ(2, control.countDownHandshake()) << state;
        EXPECT_EQ((Events{"status(5)"}), listener.events()) << state;
    }
}

// The port reader's notice that a read failed (the device has gone): in any
// handshake state a "Communication error" at once, and the countdown ends;
// outside a handshake nothing, since the next frame's refused write says it.
TEST_F(Handshake, AFailedReadEndsAHandshakeAtOnceAndNothingElse)
{
    const ProtocolState handshake[] = {HandshakeF1, HandshakeF2,      HandshakeCounts1,
                                       HandshakeD1, HandshakeCounts2, HandshakeD2};
    for (ProtocolState state : handshake) {
        listener.clear();
        control.startHandshake();
        inState(state);
        control.clearFrames();
        control.handlePortFailure();
        EXPECT_EQ((Events{"status(7)"}), listener.events()) << state;
        EXPECT_EQ(Ready, control.protocolState) << state;
        EXPECT_TRUE(control.frames().empty()) << state;
        for (int tick = 0; tick < 20; ++tick)
            EXPECT_EQ(0, control.countDownHandshake()) << state;
        EXPECT_EQ(1u, listener.count()) << state;
    }
    const ProtocolState others[] = {Idle, Ready, StopBoth, MoveStop2, MoveRate1, TimerRead};
    for (ProtocolState state : others) {
        listener.clear();
        inState(state);
        control.handlePortFailure();
        EXPECT_TRUE(listener.events().empty()) << state;
        EXPECT_EQ(state, control.protocolState) << state;
    }
}

TEST_F(Handshake, TicksOutsideAHandshakeReportNothing)
{
    const ProtocolState states[] = {Idle,      Ready,     StopBoth,          MoveStop2,
                                    MoveRate1, TimerRead, QueryRemoteOutput, QueryRemoteAdapter};
    for (ProtocolState state : states) {
        control.heartbeatCountdown = 12;
        inState(state);
        for (int tick = 1; tick <= 15; ++tick)
            EXPECT_EQ(0, control.countDownHandshake()) << state;
        EXPECT_EQ(0, control.heartbeatCountdown) << state;
    }
    EXPECT_TRUE(listener.events().empty());
}

TEST_F(Handshake, ACompletedHandshakeStopsTheCountdown)
{
    becomeReady();
    inState(HandshakeF1);  // even if the state looked like a handshake again
    for (int tick = 0; tick < 15; ++tick)
        EXPECT_EQ(0, control.countDownHandshake());
    EXPECT_TRUE(listener.events().empty());
}

// ---- Replies outside the chains ------------------------------------------

using Replies = EngineSteps;

TEST_F(Replies, AnErrorReplyInTheHandshakeEndsItWithoutATimeOut)
{
    control.startHandshake();
    reply("=");
    reply("=");  // ":a1\r" sent
    control.countDownHandshake();
    control.clearFrames();
    EXPECT_EQ(0, reply("!"));
    EXPECT_EQ(Ready, control.protocolState);
    EXPECT_EQ(11, control.heartbeatCountdown);
    EXPECT_TRUE(control.frames().empty());
    EXPECT_EQ((Events{"status(7)"}), listener.events());
    for (int tick = 0; tick < 15; ++tick)
        EXPECT_EQ(0, control.countDownHandshake());
    EXPECT_EQ((Events{"status(7)"}), listener.events());
}

TEST_F(Replies, AnErrorReplyInAnyStateReportsACommunicationError)
{
    const ProtocolState states[] = {
        Idle,      Ready,     HandshakeF1, HandshakeD2, StopBoth,          MoveStop2,          MoveMode2,
        MoveRate2, MoveStop1, MoveMode1,   MoveRate1,   QueryRemoteOutput, QueryRemoteAdapter, TimerRead};
    for (ProtocolState state : states) {
        listener.clear();
        inState(state);
        EXPECT_EQ(0, reply("!05")) << state;
        EXPECT_EQ(Ready, control.protocolState) << state;
        EXPECT_EQ((Events{"status(7)"}), listener.events()) << state;
    }
    EXPECT_TRUE(control.frames().empty());
}

TEST_F(Replies, SuccessRepliesOutsideAChainAreIgnored)
{
    const int32_t states[] = {Idle, Ready, 1, 19, 99, -3};
    for (int32_t state : states) {
        control.protocolState = state;
        EXPECT_EQ(0, reply("=E803")) << state;
        EXPECT_EQ(state, control.protocolState);
    }
    EXPECT_TRUE(control.frames().empty());
    EXPECT_TRUE(listener.events().empty());
}

// ---- Move and stop ------------------------------------------------------------

using MoveAndStop = EngineSteps;

TEST_F(MoveAndStop, TheFourArrowChains)
{
    struct Case {
        uint8_t direction;
        ProtocolState first;
        Frames frames;
    };
    const Case cases[] = {
        {0, MoveStop2, {":L2\r", ":G230\r", ":I2460000\r", ":J2\r"}},
        {1, MoveStop2, {":L2\r", ":G231\r", ":I2460000\r", ":J2\r"}},
        {2, MoveStop1, {":L1\r", ":G130\r", ":I1460000\r", ":J1\r"}},
        {3, MoveStop1, {":L1\r", ":G131\r", ":I1460000\r", ":J1\r"}},
    };
    for (const Case& c : cases) {
        inState(Ready);
        control.clearFrames();
        listener.clear();
        control.execMove(c.direction, 2);
        EXPECT_EQ((Events{"status(12)"}), listener.events());
        EXPECT_EQ(c.first, control.protocolState);
        EXPECT_EQ(1u, control.frames().size());
        EXPECT_EQ(0, reply("="));
        EXPECT_EQ(c.first + 1, control.protocolState);
        EXPECT_EQ(0, reply("="));
        EXPECT_EQ(c.first + 2, control.protocolState);
        EXPECT_EQ(0, reply("="));
        EXPECT_EQ(Ready, control.protocolState);
        EXPECT_EQ(c.frames, control.frames()) << int(c.direction);
        // The reply to ":J" arrives in Ready and is ignored.
        EXPECT_EQ(0, reply("="));
        EXPECT_EQ(c.frames, control.frames()) << int(c.direction);
        EXPECT_EQ((Events{"status(12)"}), listener.events());
    }
}

TEST_F(MoveAndStop, EachSpeedHasItsRate)
{
    const struct {
        uint8_t speed;
        const char* rateFrame;
    } cases[] = {
        {0, ":I18C0000\r"}, {1, ":I1640000\r"}, {2, ":I1460000\r"}, {3, ":I1320000\r"},   {4, ":I1230000\r"},
        {5, ":I1190000\r"}, {6, ":I1190000\r"}, {9, ":I1190000\r"}, {255, ":I1190000\r"},
    };
    for (const auto& c : cases) {
        inState(Ready);
        control.execMove(2, c.speed);
        reply("=");
        control.clearFrames();
        reply("=");
        EXPECT_EQ((Frames{c.rateFrame}), control.frames()) << int(c.speed);
    }
}

TEST_F(MoveAndStop, AnUnknownDirectionSendsNothingButReportsTheMovement)
{
    for (uint8_t direction : {4, 7, 255}) {
        inState(TimerRead);
        listener.clear();
        control.execMove(direction, 2);
        EXPECT_EQ(TimerRead, control.protocolState);
        EXPECT_EQ((Events{"status(12)"}), listener.events());
    }
    EXPECT_TRUE(control.frames().empty());
}

TEST_F(MoveAndStop, AMoveTakesOverWhateverWasUnderWay)
{
    const ProtocolState states[] = {Idle, HandshakeCounts1, MoveRate1, TimerRead, StopBoth};
    for (ProtocolState state : states) {
        inState(state);
        control.clearFrames();
        control.execMove(0, 2);
        EXPECT_EQ(MoveStop2, control.protocolState) << state;
        EXPECT_EQ((Frames{":L2\r"}), control.frames()) << state;
    }
}

TEST_F(MoveAndStop, MovesOnBothChannelsKeepTheirOwnSettings)
{
    inState(Ready);
    control.execMove(1, 0);  // channel 2, reverse, rate 140
    control.execMove(3, 5);  // channel 1, reverse, rate 25; takes over the chain
    EXPECT_EQ(1, control.move2Reverse);
    EXPECT_EQ(140, control.move2Rate);
    EXPECT_EQ(3, control.move2Mode);
    EXPECT_EQ(1, control.move1Reverse);
    EXPECT_EQ(25, control.move1Rate);
    EXPECT_EQ(3, control.move1Mode);
    control.execMove(0, 2);
    EXPECT_EQ(0, control.move2Reverse);
    EXPECT_EQ(70, control.move2Rate);
    EXPECT_EQ(1, control.move1Reverse);
}

TEST_F(MoveAndStop, StopBothChannels)
{
    inState(MoveRate2);
    control.execStop(4);
    EXPECT_EQ(StopBoth, control.protocolState);
    EXPECT_EQ((Frames{":L1\r"}), control.frames());
    EXPECT_TRUE(listener.events().empty());
    EXPECT_EQ(0, reply("="));
    EXPECT_EQ(Ready, control.protocolState);
    EXPECT_EQ((Frames{":L1\r", ":L2\r"}), control.frames());
    EXPECT_EQ((Events{"status(11)"}), listener.events());
    EXPECT_EQ(0, reply("="));
    EXPECT_EQ((Frames{":L1\r", ":L2\r"}), control.frames());
    EXPECT_EQ((Events{"status(11)"}), listener.events());
}

TEST_F(MoveAndStop, StopOneChannel)
{
    const struct {
        uint8_t which;
        const char* frame;
    } cases[] = {{0, ":L2\r"}, {1, ":L2\r"}, {2, ":L1\r"}, {3, ":L1\r"}};
    for (const auto& c : cases) {
        inState(MoveMode1);
        control.clearFrames();
        control.execStop(c.which);
        EXPECT_EQ(Ready, control.protocolState) << int(c.which);
        EXPECT_EQ((Frames{c.frame}), control.frames()) << int(c.which);
    }
    EXPECT_TRUE(listener.events().empty());
}

TEST_F(MoveAndStop, AnUnknownStopDoesNothing)
{
    for (uint8_t which : {5, 9, 255}) {
        inState(MoveMode2);
        control.execStop(which);
        EXPECT_EQ(MoveMode2, control.protocolState);
    }
    EXPECT_TRUE(control.frames().empty());
    EXPECT_TRUE(listener.events().empty());
}

// ---- Frames the device refuses ----------------------------------------------
// A write that fails (the device has gone) ends its step with "Communication
// error" and the protocol in Ready; one that only ran out of time goes on.

using RefusedWrites = EngineSteps;

TEST_F(RefusedWrites, EveryStepThatSendsEndsWithACommunicationError)
{
    struct Case {
        const char* what;
        ProtocolState from;
        const char* reply;  // the step is this reply, or with none the command below
        void (*command)(CapturingTelescopeControl&);
        Events events;
        int result;
    };
    const Case cases[] = {
        {"startHandshake", Ready, nullptr, [](CapturingTelescopeControl& c) { c.startHandshake(); }, {"status(7)"}, 0},
        {"reply to :F1", HandshakeF1, "=", nullptr, {"status(7)"}, 0},
        {"reply to :D1", HandshakeD1, "=", nullptr, {"status(7)"}, 0},
        // The mount stays rejected.
        {"unknown counts", HandshakeCounts2, "=000000", nullptr, {"status(6)", "status(7)"}, 2},
        {"first reply of STOP", StopBoth, "=", nullptr, {"status(7)"}, 0},
        {"STOP", MoveRate2, nullptr, [](CapturingTelescopeControl& c) { c.execStop(4); }, {"status(7)"}, 0},
        {"stop one channel", MoveRate2, nullptr, [](CapturingTelescopeControl& c) { c.execStop(0); }, {"status(7)"}, 0},
        // Reported at once, and the refusal after it.
        {"move",
         Ready,
         nullptr,
         [](CapturingTelescopeControl& c) { c.execMove(3, 2); },
         {"status(12)", "status(7)"},
         0},
        {"move set-up", MoveStop2, "=", nullptr, {"status(7)"}, 0},
        {"move rate", MoveMode1, "=", nullptr, {"status(7)"}, 0},
        {"move start", MoveRate1, "=", nullptr, {"status(7)"}, 0},
        {"remote output",
         Ready,
         nullptr,
         [](CapturingTelescopeControl& c) { c.execSetDslrRemote(0, 1); },
         {"status(7)"},
         0},
        {"remote query",
         Ready,
         nullptr,
         [](CapturingTelescopeControl& c) { c.execQueryDslrRemote(0); },
         {"status(7)"},
         0},
        {"timer start",
         Ready,
         nullptr,
         [](CapturingTelescopeControl& c) { c.execStartDslrTimer(1, 0, 1000); },
         {"status(7)"},
         0},
        {"timer read", Ready, nullptr, [](CapturingTelescopeControl& c) { c.execReadDslrTimer(); }, {"status(7)"}, 0},
        // Nothing to write: nothing refused.
        {"move without a direction",
         Ready,
         nullptr,
         [](CapturingTelescopeControl& c) { c.execMove(7, 2); },
         {"status(12)"},
         0},
    };
    control.setWriteResult(platform::WaitFailed);
    for (const Case& c : cases) {
        listener.clear();
        control.heartbeatCountdown = 0;
        inState(c.from);
        int result = 0;
        if (c.reply != nullptr)
            result = reply(c.reply);
        else
            c.command(control);
        EXPECT_EQ(c.events, listener.events()) << c.what;
        EXPECT_EQ(Ready, control.protocolState) << c.what;
        EXPECT_EQ(c.result, result) << c.what;
    }
    EXPECT_TRUE(control.frames().empty());
}

TEST_F(RefusedWrites, AWriteThatRunsOutOfTimeGoesOn)
{
    control.setWriteResult(platform::WaitTimeout);
    control.startHandshake();
    EXPECT_EQ(HandshakeF1, control.protocolState);
    control.execMove(0, 2);
    EXPECT_EQ(MoveStop2, control.protocolState);
    control.execStop(4);
    EXPECT_EQ(0, reply("="));
    EXPECT_EQ((Events{"status(12)", "status(11)"}), listener.events());
    EXPECT_EQ((Frames{":F1\r", ":L2\r", ":L1\r", ":L2\r"}), control.frames());
}

// ---- Camera remote, query and self-timer ----------------------------------

using CameraRemote = EngineSteps;

TEST_F(CameraRemote, EachKindDrivesItsOwnLine)
{
    const struct {
        uint8_t kind, bits;
        Frames frames;
        std::vector<int> modemLines;
    } cases[] = {
        {0, 1, {":O11\r"}, {}}, {0, 0, {":O10\r"}, {}}, {0, 3, {":O11\r"}, {}}, {0, 2, {":O10\r"}, {}},
        {1, 1, {}, {2}},        {1, 0, {}, {0}},        {1, 3, {}, {2}},        {1, 2, {}, {0}},
        {2, 3, {":X13\r"}, {}}, {2, 0, {":X10\r"}, {}}, {2, 2, {":X12\r"}, {}}, {2, 15, {":X1F\r"}, {}},
        {3, 1, {}, {}},         {255, 1, {}, {}},
    };
    for (const auto& c : cases) {
        inState(Ready);
        control.clearFrames();
        control.execSetDslrRemote(c.kind, c.bits);
        EXPECT_EQ(c.frames, control.frames()) << int(c.kind) << "," << int(c.bits);
        EXPECT_EQ(c.modemLines, control.modemLines()) << int(c.kind) << "," << int(c.bits);
        EXPECT_EQ(Ready, control.protocolState);
    }
    EXPECT_TRUE(listener.events().empty());
}

TEST_F(CameraRemote, TheReplyToASetArrivesInReadyAndIsIgnored)
{
    inState(Ready);
    control.execSetDslrRemote(0, 1);
    EXPECT_EQ(0, reply("="));
    EXPECT_EQ((Frames{":O11\r"}), control.frames());
    EXPECT_TRUE(listener.events().empty());
}

const ProtocolState kBusyStates[] = {Idle,      HandshakeF1, HandshakeCounts2,  StopBoth,
                                     MoveRate2, MoveStop1,   QueryRemoteOutput, TimerRead};

TEST_F(CameraRemote, NothingButReadyAcceptsARemoteOrTimerStep)
{
    for (ProtocolState state : kBusyStates) {
        inState(state);
        control.execSetDslrRemote(0, 1);
        control.execSetDslrRemote(1, 1);
        control.execSetDslrRemote(2, 3);
        control.execQueryDslrRemote(0);
        control.execQueryDslrRemote(2);
        control.execStartDslrTimer(1, 0, 1000);
        control.execReadDslrTimer();
        EXPECT_EQ(state, control.protocolState);
    }
    EXPECT_TRUE(control.frames().empty());
    EXPECT_TRUE(control.modemLines().empty());
    EXPECT_TRUE(listener.events().empty());
}

TEST_F(CameraRemote, QueryOfTheAuxiliaryOutput)
{
    const struct {
        const char* reply;
        const char* event;
    } cases[] = {
        {"=1", "remote(0,1)"},
        {"=A", "remote(0,10)"},
        {"=f3", "remote(0,15)"},
    };
    for (const auto& c : cases) {
        inState(Ready);
        control.clearFrames();
        listener.clear();
        control.execQueryDslrRemote(0);
        EXPECT_EQ(QueryRemoteOutput, control.protocolState);
        EXPECT_EQ((Frames{":o1\r"}), control.frames());
        EXPECT_EQ(0, reply(c.reply));
        EXPECT_EQ(Ready, control.protocolState);
        EXPECT_EQ((Events{c.event}), listener.events());
    }
}

TEST_F(CameraRemote, QueryOfTheAdapterConsumesItsReply)
{
    inState(Ready);
    control.execQueryDslrRemote(2);
    EXPECT_EQ(QueryRemoteAdapter, control.protocolState);
    EXPECT_EQ((Frames{":x1\r"}), control.frames());
    EXPECT_EQ(0, reply("=3"));
    EXPECT_EQ(Ready, control.protocolState);
    EXPECT_EQ((Frames{":x1\r"}), control.frames());
    EXPECT_TRUE(listener.events().empty());
}

TEST_F(CameraRemote, OtherQueriesDoNothing)
{
    for (uint8_t which : {1, 3, 255}) {
        inState(Ready);
        control.execQueryDslrRemote(which);
        EXPECT_EQ(Ready, control.protocolState);
    }
    EXPECT_TRUE(control.frames().empty());
}

TEST_F(CameraRemote, StartTheSelfTimer)
{
    inState(Ready);
    control.execStartDslrTimer(1, 0, 1000);
    control.execStartDslrTimer(1, 0, 4464);
    EXPECT_EQ(Ready, control.protocolState);
    EXPECT_EQ((Frames{":T110E803\r", ":T1107011\r"}), control.frames());
    EXPECT_EQ(0, reply("="));
    EXPECT_TRUE(listener.events().empty());
}

TEST_F(CameraRemote, ReadTheSelfTimer)
{
    inState(Ready);
    control.execReadDslrTimer();
    EXPECT_EQ(TimerRead, control.protocolState);
    EXPECT_EQ((Frames{":t1\r"}), control.frames());
    EXPECT_EQ(0, reply("=E803"));
    EXPECT_EQ(Ready, control.protocolState);
    EXPECT_EQ((Events{"timer(2,1000)"}), listener.events());
    control.execReadDslrTimer();
    reply("=FFFF");
    EXPECT_EQ((Events{"timer(2,1000)", "timer(2,65535)"}), listener.events());
}

// ---- executeCommand: the arguments of each command message --------------

using Commands = EngineSteps;

TEST_F(Commands, EachCodeRunsItsStepWithTheMessagesArguments)
{
    const struct {
        std::vector<uint8_t> message;
        Frames frames;
        std::vector<int> modemLines;
        Events events;
    } cases[] = {
        {{0x83, 0x04, 0x01, 0x00}, {":L2\r"}, {}, {"status(12)"}},
        {{0x83, 0x04, 0x02, 0x02}, {":L1\r"}, {}, {"status(12)"}},
        {{0x82, 0x05, 0x04}, {":L1\r"}, {}, {}},
        {{0x82, 0x05, 0x00}, {":L2\r"}, {}, {}},
        {{0x83, 0x06, 0x02, 0x03}, {":X13\r"}, {}, {}},
        {{0x83, 0x06, 0x01, 0x01}, {}, {2}, {}},
        {{0x83, 0x06, 0x00, 0x01}, {":O11\r"}, {}, {}},
        {{0x82, 0x07, 0x00}, {":o1\r"}, {}, {}},
        {{0x82, 0x07, 0x02}, {":x1\r"}, {}, {}},
        {{0x85, 0x08, 0x01, 0x00, 0xE8, 0x03}, {":T110E803\r"}, {}, {}},
        {{0x85, 0x08, 0x01, 0x00, 0x70, 0x11}, {":T1107011\r"}, {}, {}},
        {{0x81, 0x09}, {":t1\r"}, {}, {}},
        // Unknown codes, and connect and disconnect, are not steps here.
        {{0x81, 0x03}, {}, {}, {}},
        {{0x81, 0x0A}, {}, {}, {}},
        {{0x81, 0x7F}, {}, {}, {}},
        {{0x82, 0x01, 0x03}, {}, {}, {}},
        {{0x81, 0x02}, {}, {}, {}},
    };
    for (const auto& c : cases) {
        inState(Ready);
        control.clearFrames();
        listener.clear();
        uint8_t message[kMaxEngineMessage] = {};
        std::copy(c.message.begin(), c.message.end(), message);
        EXPECT_EQ(0, control.executeCommand(message)) << int(c.message[1]);
        EXPECT_EQ(c.frames, control.frames()) << int(c.message[1]);
        EXPECT_EQ(c.modemLines, control.modemLines()) << int(c.message[1]);
        EXPECT_EQ(c.events, listener.events()) << int(c.message[1]);
    }
}

}  // namespace
