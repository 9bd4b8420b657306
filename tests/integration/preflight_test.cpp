// The report and the self-test over a real pseudo-terminal with the mount
// simulator behind it (COM7, its control line COM8): a sound mount passes
// every step, and each of the simulator's faults fails the step it should,
// naming the axis and the fault, with both axes at rest afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "preflight/mount_session.h"
#include "preflight/preflight.h"
#include "tests/support/sim_client.h"

namespace {

constexpr unsigned kMountPort = 7;

class Preflight : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.open()) << "simulator control line COM8: " << sim.lastError();
        ASSERT_TRUE(sim.reset()) << sim.lastError();
        ASSERT_TRUE(session.open(kMountPort)) << "COM7, the simulator";
    }

    void TearDown() override
    {
        session.close();
        // No fault may leave a run-away axis to the next test.
        sim.reset();
    }

    const PreflightStep* step(const PreflightResult& result, const std::string& name)
    {
        for (const PreflightStep& s : result.steps)
            if (s.name == name)
                return &s;
        ADD_FAILURE() << "no step " << name;
        return nullptr;
    }

    std::string stepsText(const PreflightResult& result)
    {
        std::string text;
        for (const PreflightStep& s : result.steps)
            text += stepLine(s);
        return text;
    }

    SimClient sim;
    MountSession session;
};

TEST_F(Preflight, ASoundMountPassesEveryStepWithItsFiguresAndEndsAtRest)
{
    PreflightPlan plan;
    plan.shutter = ShutterInterface::AuxOutput;
    std::vector<std::string> seen;
    PreflightProgress progress;
    progress.step = [&](const PreflightStep& s) { seen.push_back(s.name); };
    const PreflightResult result = runPreflight(session, plan, true, nullptr, progress);
    EXPECT_TRUE(result.passed()) << stepsText(result);
    EXPECT_EQ(seen, (std::vector<std::string>{"controller", "axis 1 right", "axis 1 left", "axis 2 up", "axis 2 down",
                                              "stays stopped", "shutter"}));
    ASSERT_EQ(result.figures.size(), 13u);
    EXPECT_EQ(result.figures[1].key, "counts_per_revolution");
    EXPECT_EQ(result.figures[1].number, 1440000);
    EXPECT_EQ(result.figures[2].number, 62500) << "the timer frequency";
    // Each jog moved about 0.15 deg: 600 counts at 4000 a degree.
    const PreflightStep* right = step(result, "axis 1 right");
    ASSERT_NE(right, nullptr);
    const int moved = std::stoi(right->detail);
    EXPECT_GE(moved, 300);
    EXPECT_LE(moved, 1200);
    for (int number : {1, 2}) {
        SimClient::Axis axis;
        ASSERT_TRUE(sim.axis(number, &axis));
        EXPECT_FALSE(axis.running);
        EXPECT_LT(std::abs(axis.position), 2000) << "axis " << number << " within 0.5 deg of where it began";
    }
    // The self-test moved the mount through the frames the arrows use:
    // the same axis and direction digit for the same name.
    const std::vector<std::string> frames = sim.frames();
    for (const char* setup : {":G110\r", ":G111\r", ":G210\r", ":G211\r"})
        EXPECT_NE(std::find(frames.begin(), frames.end(), setup), frames.end()) << setup;
}

// The simulator's faults, each with the step it must fail and what that
// step must say.
TEST_F(Preflight, EachFaultFailsTheStepItShouldNamingTheAxisAndTheFault)
{
    struct Fault {
        const char* command;  // on the control line
        const char* step;
        const char* says;
    };
    const Fault faults[] = {
        {"stuck 1 1", "axis 1 right", "axis 1 did not move: +0 counts"},
        {"stuck 2 1", "axis 2 up", "axis 2 did not move: +0 counts"},
        {"reversed 1 1", "axis 1 right", "axis 1 moved the wrong way: -"},
        {"reversed 2 1", "axis 2 down", "axis 2 moved the wrong way: +"},
        {"runaway 1 1", "axis 1 right", "axis 1 does not stop: still running"},
        {"runaway 2 1", "axis 2 up", "axis 2 does not stop: still running"},
        {"error :e1 5", "controller", "the controller did not say its firmware: :e1\\r answered !5\\r (refused)"},
    };
    // Shorter jogs and wait than a user's: the verdicts are the same.
    PreflightPlan quick;
    quick.jogMs = 300;
    quick.stillMs = 300;
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.command);
        ASSERT_TRUE(sim.reset());
        ASSERT_TRUE(sim.command(fault.command)) << sim.lastError();
        const PreflightResult result = runPreflight(session, quick, true, nullptr);
        EXPECT_FALSE(result.passed());
        const PreflightStep* failed = step(result, fault.step);
        ASSERT_NE(failed, nullptr) << stepsText(result);
        EXPECT_FALSE(failed->passed);
        EXPECT_EQ(failed->detail.rfind(fault.says, 0), 0u) << failed->detail;
        // Only the faulty axis fails: the other's jogs pass.
        const bool axis1 = std::string(fault.step).rfind("axis 1", 0) == 0;
        for (const PreflightStep& s : result.steps) {
            const bool otherAxis = s.name.rfind(axis1 ? "axis 2" : "axis 1", 0) == 0;
            EXPECT_TRUE(!otherAxis || s.passed || std::string(fault.step) == "controller") << stepLine(s);
        }
        const std::string summary = summaryLine(result);
        EXPECT_EQ(summary.rfind("self-test FAILED: ", 0), 0u) << summary;
        EXPECT_NE(summary.find(fault.step, summary.find("; failed: ")), std::string::npos) << summary;
        // A runaway is stopped as far as the mount lets it; any other axis
        // is at rest.
        if (std::string(fault.command).rfind("runaway", 0) != 0) {
            for (int number : {1, 2}) {
                SimClient::Axis axis;
                ASSERT_TRUE(sim.axis(number, &axis));
                EXPECT_FALSE(axis.running) << "axis " << number;
            }
        } else {
            const std::vector<std::string> frames = sim.frames();
            EXPECT_NE(std::find(frames.begin(), frames.end(), ":K2\r"), frames.end()) << "both axes were stopped";
            EXPECT_NE(std::find(frames.begin(), frames.end(), ":L1\r"), frames.end()) << "and stopped at once";
            // The axis the stops did not stop is the user's to stop.
            const PreflightStep* stop = step(result, "stop");
            ASSERT_NE(stop, nullptr);
            EXPECT_EQ(stop->detail,
                      std::string(fault.step).substr(0, 6) + " still running after :K and :L: switch the mount off");
        }
    }
}

// The report reads every figure; what the controller refuses or leaves
// unanswered is "not answered" with what came, and the rest is read on.
TEST_F(Preflight, ReportSaysNotAnsweredWhereTheControllerLacksACommand)
{
    ASSERT_TRUE(sim.setError(":b2", "0"));
    const std::vector<MountFigure> figures = readMountFigures(session);
    ASSERT_EQ(figures.size(), 13u);
    const MountFigure& timer2 = figures[8];
    EXPECT_EQ(timer2.key, "timer_frequency");
    EXPECT_EQ(timer2.axis, 2);
    EXPECT_FALSE(timer2.answered);
    EXPECT_EQ(timer2.value, "not answered");
    EXPECT_EQ(timer2.exchange.received, "!0\r");
    EXPECT_TRUE(figures[9].answered) << "read on after a refusal";
    EXPECT_TRUE(std::regex_match(
        figureLine(figures[0]), std::regex(R"re(mount +firmware +version 03\.10, model 80 +:e1\\r -> =031080\\r\n)re")))
        << figureLine(figures[0]);
    // A silent controller: each figure waits its time and says so.
    ASSERT_TRUE(sim.setSilent(true));
    const Exchange none = session.exchange('e', 1);
    EXPECT_EQ(none.answer, Answer::NoReply);
    MountFigure silent;
    silent.exchange = none;
    silent.value = "not answered";
    EXPECT_NE(figureLine(silent).find(":e1\\r -> nothing in 1000 ms"), std::string::npos) << figureLine(silent);
}

}  // namespace
