// The real main dialog over the real object graph (startApplication: engine,
// model, heartbeat) under wine, driven by clicks, with the mount simulator
// behind COM7: what the mount receives for each button and what the dialog
// shows of the engine's answers.
#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

#include "app/app_globals.h"
#include "app/app_lifecycle.h"
#include "resources/resource_ids.h"
#include "tests/support/sim_client.h"
#include "tests/win32/dialog_driver.h"
#include "ui/dlg_merlin_test.h"

namespace {

using Frames = std::vector<std::string>;

constexpr int kMountPortIndex = 6;  // COM7 in the port list
// Generous: a handshake is ~0.5 s plus six round trips.
constexpr uint32_t kStatusWaitMs = 20000;
constexpr uint32_t kFrameWaitMs = 20000;

class DialogWithEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.open()) << "simulator control line COM8: " << sim.lastError();
        ASSERT_TRUE(sim.reset()) << sim.lastError();
        startApplication(GetModuleHandleA(nullptr));
        driver = new DialogDriver(theDlgMerlinTest);
        ASSERT_TRUE(driver->started()) << "the main dialog did not come up: " << driver->whyNotStarted();
    }

    void TearDown() override
    {
        delete driver;
        shutdownApplication();
    }

    bool waitForStatus(const std::wstring& text)
    {
        return waitUntil([&] { return driver->text(IDC_STATUS) == text; }, kStatusWaitMs);
    }

    // Picks COM7, clicks Connect and waits for "Ready".
    void connectToSimulator()
    {
        SendMessageA(driver->item(IDC_PORT_LIST), CB_SETCURSEL, kMountPortIndex, 0);
        driver->click(IDC_CONNECT);
        ASSERT_TRUE(waitForStatus(L"Ready"))
            << "status: " << std::string(driver->text(IDC_STATUS).begin(), driver->text(IDC_STATUS).end());
        ASSERT_TRUE(sim.waitForFrames(6, kFrameWaitMs));
        ASSERT_TRUE(sim.clearLog());
    }

    // The frames the simulator received since the last clear, once `count`
    // are in and answered (so no answer is left to cross the next request);
    // then clears its record.
    Frames takeFrames(size_t count)
    {
        EXPECT_TRUE(sim.waitForFrames(count, kFrameWaitMs)) << "frames so far: " << sim.frames().size();
        EXPECT_TRUE(waitUntil([&] { return sim.replies().size() >= count; }, kFrameWaitMs));
        Frames frames = sim.frames();
        EXPECT_TRUE(sim.clearLog());
        return frames;
    }

    SimClient sim;
    DialogDriver* driver = nullptr;
};

TEST_F(DialogWithEngine, ConnectShowsReadyAndEachArrowSendsItsMoveChain)
{
    connectToSimulator();
    // Each arrow turns the axis it names, in its direction: up and down axis
    // 2, right and left axis 1; up and right count up.
    struct Arrow {
        int id;
        Frames frames;
        int axis, direction;
    };
    const Arrow arrows[] = {
        {IDC_UP, {":L2\r", ":G230\r", ":I2460000\r", ":J2\r"}, 2, 1},
        {IDC_DOWN, {":L2\r", ":G231\r", ":I2460000\r", ":J2\r"}, 2, -1},
        {IDC_RIGHT, {":L1\r", ":G130\r", ":I1460000\r", ":J1\r"}, 1, 1},
        {IDC_LEFT, {":L1\r", ":G131\r", ":I1460000\r", ":J1\r"}, 1, -1},
    };
    for (const Arrow& arrow : arrows) {
        SCOPED_TRACE(arrow.id);
        driver->click(arrow.id);
        EXPECT_EQ(takeFrames(4), arrow.frames);
        EXPECT_TRUE(waitForStatus(L"Manual movement"));
        int direction = 0;
        ASSERT_TRUE(sim.axisMotion(arrow.axis, &direction)) << sim.lastError();
        EXPECT_EQ(direction, arrow.direction);
    }

    driver->click(IDC_STOP);
    EXPECT_EQ(takeFrames(2), (Frames{":L1\r", ":L2\r"}));
    EXPECT_TRUE(waitForStatus(L"Ready"));
    for (int axis : {1, 2}) {
        int direction = 1;
        ASSERT_TRUE(sim.axisMotion(axis, &direction)) << sim.lastError();
        EXPECT_EQ(direction, 0) << "axis " << axis << " still after STOP";
    }
}

TEST_F(DialogWithEngine, RemoteButtonsReachTheMountPerInterfaceKind)
{
    connectToSimulator();
    // Kind 0, the mount's auxiliary output.
    driver->click(IDC_EXP_ON);
    EXPECT_EQ(takeFrames(1), Frames{":O11\r"});
    driver->click(IDC_EXP_OFF);
    EXPECT_EQ(takeFrames(1), Frames{":O10\r"});

    // Kind 1 switches the cable's RTS line: no frame. Kind 2 then sends the
    // whole flags word, so the next frame shows what kind 1 left set.
    driver->click(IDC_KIND_RTS_CABLE);
    driver->click(IDC_EXP_ON);
    driver->click(IDC_KIND_ADAPTER_V2);
    driver->click(IDC_FOCUS_ON);
    EXPECT_EQ(takeFrames(1), Frames{":X13\r"});
    driver->click(IDC_EXP_OFF);
    EXPECT_EQ(takeFrames(1), Frames{":X12\r"});
    driver->click(IDC_FOCUS_OFF);
    EXPECT_EQ(takeFrames(1), Frames{":X10\r"});
    EXPECT_EQ(driver->text(IDC_STATUS), L"Ready");
}

TEST_F(DialogWithEngine, TimerStartSendsTheTypedTimeAndReadShowsWhatIsLeft)
{
    connectToSimulator();
    driver->click(IDC_KIND_ADAPTER_V2);
    HWND field = driver->item(IDC_TIMER_VALUE);
    driver->type(field, L"70000");
    driver->click(IDC_TIMER_START);
    // Only the low 16 bits travel: 70000 - 65536 = 0x1170, low byte first.
    EXPECT_EQ(takeFrames(1), Frames{":T1107011\r"});

    SetWindowTextW(field, L"");
    driver->type(field, L"60000");
    driver->click(IDC_TIMER_START);
    // Taken once answered: an answer still due would count as the read's.
    EXPECT_EQ(takeFrames(1), Frames{":T11060EA\r"});

    driver->click(IDC_TIMER_READ);
    EXPECT_EQ(takeFrames(1), Frames{":t1\r"});
    HWND timerStatus = driver->item(IDC_TIMER_STATUS);
    ASSERT_TRUE(waitUntil([&] { return !DialogDriver::text(timerStatus).empty(); }, kStatusWaitMs));
    const std::wstring shown = DialogDriver::text(timerStatus);
    for (wchar_t c : shown)
        ASSERT_TRUE(std::iswdigit(c)) << "not a number";
    const unsigned long left = std::stoul(shown);
    EXPECT_GT(left, 0u);
    EXPECT_LE(left, 60000u);
    EXPECT_EQ(driver->text(IDC_STATUS), L"Ready");
}

TEST_F(DialogWithEngine, StatusStillShowsWhileTheAboutBoxIsOpen)
{
    ASSERT_TRUE(sim.setLatency(300));
    SendMessageA(driver->item(IDC_PORT_LIST), CB_SETCURSEL, kMountPortIndex, 0);
    driver->click(IDC_CONNECT);
    DialogDriver::postClick(driver->item(IDC_ABOUT));
    HWND box = nullptr;
    ASSERT_TRUE(driver->waitForAboutBox(&box));
    EXPECT_TRUE(waitForStatus(L"Ready"));
    EXPECT_TRUE(IsWindow(box)) << "the box stayed open meanwhile";
    PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(waitUntil([&] { return !IsWindow(box); }, kStatusWaitMs));
    EXPECT_EQ(driver->text(IDC_STATUS), L"Ready");
}

TEST_F(DialogWithEngine, ActionsBeforeConnectingAreAnsweredNotConnectedYet)
{
    driver->click(IDC_UP);
    EXPECT_TRUE(waitForStatus(L"Error: Not connected yet."));
    SendMessageA(driver->item(IDC_PORT_LIST), CB_SETCURSEL, 199, 0);  // COM200: no such device
    driver->click(IDC_CONNECT);
    EXPECT_TRUE(waitForStatus(L"Error: Cannot open port"));
    EXPECT_EQ(sim.frames(), Frames{});
}

}  // namespace
