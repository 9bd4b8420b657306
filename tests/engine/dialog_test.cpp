// The main dialog's decisions, with a window that keeps what the toolkit
// would show and an engine that keeps what it is asked.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/app_model.h"
#include "resources/resource_ids.h"
#include "tests/support/recorders.h"
#include "ui/dlg_merlin_test.h"

namespace {

using Calls = std::vector<std::string>;

const int kV2Controls[] = {IDC_FOCUS_ON,    IDC_FOCUS_OFF,    IDC_TIMER_VALUE,
                           IDC_TIMER_START, IDC_TIMER_STATUS, IDC_TIMER_READ};
const int kAlwaysEnabled[] = {IDC_PORT_LIST,
                              IDC_CONNECT,
                              IDC_DISCONNECT,
                              IDC_STOP,
                              IDC_UP,
                              IDC_DOWN,
                              IDC_LEFT,
                              IDC_RIGHT,
                              IDC_KIND_INTERNAL,
                              IDC_KIND_RTS_CABLE,
                              IDC_KIND_ADAPTER_V2,
                              IDC_EXP_ON,
                              IDC_EXP_OFF,
                              IDC_ABOUT,
                              IDC_STATUS};

class MainDialog : public ::testing::Test {
protected:
    void SetUp() override { dialog.onInitDialog(&window); }
    void TearDown() override { model.slotLock.destroy(); }

    // A click, as the toolkit reports it; the command must be one of the
    // dialog's.
    void click(int id) { ASSERT_TRUE(dialog.onCommand(id)) << id; }

    Calls takeCalls()
    {
        Calls calls = engine.calls();
        engine.clear();
        return calls;
    }

    std::vector<std::pair<int, bool>> v2Switches(bool enabled)
    {
        std::vector<std::pair<int, bool>> switches;
        for (int id : kV2Controls)
            switches.emplace_back(id, enabled);
        return switches;
    }

    FakeDialogWindow window;
    RecordingTelescopeControl engine;
    AppModel model;
    DlgMerlinTest dialog{nullptr, &engine, &model};
};

TEST_F(MainDialog, StartsOnComOneWithTheInternalOutputAndNothingSent)
{
    ASSERT_EQ(256u, window.portEntries.size());
    EXPECT_EQ("COM1", window.portEntries[0]);
    EXPECT_EQ("COM10", window.portEntries[9]);
    EXPECT_EQ("COM256", window.portEntries[255]);
    for (size_t i = 0; i < window.portEntries.size(); ++i)
        EXPECT_EQ("COM" + std::to_string(i + 1), window.portEntries[i]);
    EXPECT_EQ(0, window.selectedIndex);

    EXPECT_EQ((std::map<int, int>{{IDC_UP, IDB_ARROW_UP},
                                  {IDC_DOWN, IDB_ARROW_DOWN},
                                  {IDC_LEFT, IDB_ARROW_LEFT},
                                  {IDC_RIGHT, IDB_ARROW_RIGHT}}),
              window.buttonBitmaps);
    EXPECT_TRUE(window.isButtonChecked(IDC_KIND_INTERNAL));
    EXPECT_FALSE(window.isButtonChecked(IDC_KIND_RTS_CABLE));
    EXPECT_FALSE(window.isButtonChecked(IDC_KIND_ADAPTER_V2));

    EXPECT_EQ(v2Switches(false), window.enableCalls);
    for (int id : kAlwaysEnabled)
        EXPECT_TRUE(window.isEnabled(id)) << id;
    EXPECT_EQ(IDC_PORT_LIST, window.focusedControl);

    EXPECT_TRUE(window.texts.empty());
    EXPECT_TRUE(engine.calls().empty());
    EXPECT_TRUE(window.endResults.empty());
    EXPECT_EQ(0, window.aboutCount);
    EXPECT_TRUE(window.takePostedMessages().empty());
    EXPECT_EQ(&window, dialog.windowHandle.load());
    EXPECT_EQ(0u, dialog.remoteFlags);
}

TEST_F(MainDialog, EachCommandCallsItsOperation)
{
    const struct {
        int id;
        const char* call;
    } cases[] = {
        {IDC_CONNECT, "connect(1)"},
        {IDC_DISCONNECT, "disconnect()"},
        {IDC_STOP, "stop(4)"},
        {IDC_UP, "move(0,2)"},
        {IDC_DOWN, "move(1,2)"},
        {IDC_LEFT, "move(3,2)"},
        {IDC_RIGHT, "move(2,2)"},
        {IDC_TIMER_START, "startDslrTimer(1,0,0)"},
        {IDC_TIMER_READ, "readDslrTimer()"},
    };
    for (const auto& c : cases) {
        click(c.id);
        EXPECT_EQ((Calls{c.call}), takeCalls()) << c.id;
    }
    EXPECT_TRUE(window.endResults.empty());
    EXPECT_EQ(0, window.aboutCount);
}

TEST_F(MainDialog, OkCancelAndAbout)
{
    click(kIdOk);
    click(kIdCancel);
    EXPECT_EQ((std::vector<int>{1, 0}), window.endResults);
    click(IDC_ABOUT);
    click(IDC_ABOUT);
    EXPECT_EQ(2, window.aboutCount);
    EXPECT_TRUE(engine.calls().empty());
}

TEST_F(MainDialog, OtherIdsAreNotCommands)
{
    for (int id : {0, 3, 99, IDC_PORT_LIST, IDC_STATUS, IDC_TIMER_VALUE, IDC_TIMER_STATUS, 145, 153, 166,
                   IDC_PORT_LABEL, IDC_STATUS_LABEL, IDC_REMOTE_GROUP, IDC_TIMER_STATUS_LABEL, 181, -1, 65535}) {
        EXPECT_FALSE(dialog.onCommand(id)) << id;
    }
    EXPECT_TRUE(engine.calls().empty());
    EXPECT_TRUE(window.endResults.empty());
    EXPECT_EQ(0, window.aboutCount);
    EXPECT_EQ(0u, dialog.remoteFlags);
    EXPECT_EQ(v2Switches(false), window.enableCalls);
}

TEST_F(MainDialog, ConnectAsksForTheSelectedPort)
{
    const struct {
        int index;
        const char* call;
    } cases[] = {{0, "connect(1)"}, {4, "connect(5)"}, {255, "connect(256)"}};
    for (const auto& c : cases) {
        window.selectPortEntry(c.index);
        // Choosing a port sends nothing; only Connect reads the choice.
        EXPECT_TRUE(engine.calls().empty());
        click(IDC_CONNECT);
        EXPECT_EQ((Calls{c.call}), takeCalls());
    }
}

TEST_F(MainDialog, ConnectWithNoSelectionAsksForPortZero)
{
    window.selectedIndex = -1;
    click(IDC_CONNECT);
    EXPECT_EQ((Calls{"connect(0)"}), takeCalls());
}

TEST_F(MainDialog, ExposureWithTheInternalOutput)
{
    click(IDC_EXP_ON);
    click(IDC_EXP_ON);
    click(IDC_EXP_OFF);
    EXPECT_EQ((Calls{"setDslrRemote(0,1)", "setDslrRemote(0,1)", "setDslrRemote(0,0)"}), takeCalls());
}

TEST_F(MainDialog, BothLinesWithTheAdapter)
{
    click(IDC_KIND_ADAPTER_V2);
    click(IDC_EXP_ON);
    click(IDC_FOCUS_ON);
    click(IDC_EXP_OFF);
    click(IDC_FOCUS_OFF);
    EXPECT_EQ((Calls{"setDslrRemote(2,1)", "setDslrRemote(2,3)", "setDslrRemote(2,2)", "setDslrRemote(2,0)"}),
              takeCalls());
    EXPECT_EQ(0u, dialog.remoteFlags);
}

TEST_F(MainDialog, TheFlagsSurviveAChangeOfKind)
{
    click(IDC_KIND_ADAPTER_V2);
    click(IDC_FOCUS_ON);
    EXPECT_EQ(kFocusBit, dialog.remoteFlags);
    click(IDC_KIND_RTS_CABLE);
    click(IDC_EXP_ON);
    click(IDC_KIND_INTERNAL);
    click(IDC_EXP_OFF);
    EXPECT_EQ((Calls{"setDslrRemote(2,2)", "setDslrRemote(1,3)", "setDslrRemote(0,2)"}), takeCalls());
}

TEST_F(MainDialog, TheFlagsSurviveAConnectionToo)
{
    click(IDC_EXP_ON);
    click(IDC_CONNECT);
    click(IDC_DISCONNECT);
    click(IDC_KIND_ADAPTER_V2);
    click(IDC_FOCUS_ON);
    EXPECT_EQ((Calls{"setDslrRemote(0,1)", "connect(1)", "disconnect()", "setDslrRemote(2,3)"}), takeCalls());
}

TEST_F(MainDialog, OnlyTheAdapterEnablesItsControls)
{
    const struct {
        int radio;
        bool enabled;
    } clicks[] = {{IDC_KIND_ADAPTER_V2, true}, {IDC_KIND_INTERNAL, false},  {IDC_KIND_ADAPTER_V2, true},
                  {IDC_KIND_ADAPTER_V2, true}, {IDC_KIND_RTS_CABLE, false}, {IDC_KIND_RTS_CABLE, false}};
    for (const auto& c : clicks) {
        window.enableCalls.clear();
        click(c.radio);
        EXPECT_EQ(v2Switches(c.enabled), window.enableCalls) << c.radio;
        for (int id : kV2Controls)
            EXPECT_EQ(c.enabled, window.isEnabled(id)) << id;
        for (int id : kAlwaysEnabled)
            EXPECT_TRUE(window.isEnabled(id)) << id;
        for (int radio : {IDC_KIND_INTERNAL, IDC_KIND_RTS_CABLE, IDC_KIND_ADAPTER_V2})
            EXPECT_EQ(radio == c.radio, window.isButtonChecked(radio)) << radio;
    }
    // A radio click never reaches the engine, not even on the checked one.
    EXPECT_TRUE(engine.calls().empty());
}

TEST_F(MainDialog, SelectedInterfaceKindFollowsTheRadios)
{
    EXPECT_EQ(0, dialog.selectedInterfaceKind());
    click(IDC_KIND_RTS_CABLE);
    EXPECT_EQ(1, dialog.selectedInterfaceKind());
    click(IDC_KIND_ADAPTER_V2);
    EXPECT_EQ(2, dialog.selectedInterfaceKind());
    // The cable is asked about first; with nothing checked the kind is 0.
    window.checked[IDC_KIND_RTS_CABLE] = true;
    EXPECT_EQ(1, dialog.selectedInterfaceKind());
    window.checked.clear();
    EXPECT_EQ(0, dialog.selectedInterfaceKind());
}

TEST_F(MainDialog, StartSendsTheTimerFieldAsRead)
{
    const struct {
        const char16_t* text;
        const char* call;
    } cases[] = {
        {u"", "startDslrTimer(1,0,0)"},
        {u"abc", "startDslrTimer(1,0,0)"},
        {u"500", "startDslrTimer(1,0,500)"},
        {u"70000", "startDslrTimer(1,0,70000)"},
        {u" 42", "startDslrTimer(1,0,42)"},
        {u"0042", "startDslrTimer(1,0,42)"},
        {u"4294967295", "startDslrTimer(1,0,4294967295)"},
        {u"4294967296", "startDslrTimer(1,0,0)"},
        {u"99999999999", "startDslrTimer(1,0,0)"},
        {u"12a", "startDslrTimer(1,0,0)"},
        {u"-5", "startDslrTimer(1,0,0)"},
    };
    click(IDC_KIND_ADAPTER_V2);
    for (const auto& c : cases) {
        window.typeText(IDC_TIMER_VALUE, c.text);
        click(IDC_TIMER_START);
        EXPECT_EQ((Calls{c.call}), takeCalls()) << c.call;
    }
}

TEST(UnsignedText, ReadsLikeTheDialogManager)
{
    const struct {
        const char16_t* text;
        uint32_t value;
    } cases[] = {
        {u"", 0},
        {u"abc", 0},
        {u"500", 500},
        {u"70000", 70000},
        {u" 42", 42},
        {u"   7", 7},
        {u"4294967295", 4294967295u},
        {u"4294967296", 0},
        {u"18446744073709551617", 0},
        {u"12a", 0},
        {u"42 ", 0},
        {u"-5", 0},
        {u" ", 0},
        {u"0", 0},
        {u"1 2", 0},
    };
    for (const auto& c : cases) {
        const std::u16string text(c.text);
        EXPECT_EQ(c.value, parseUnsignedText(c.text)) << std::string(text.begin(), text.end());
    }
    EXPECT_EQ(0u, parseUnsignedText(nullptr));
}

TEST_F(MainDialog, StatusTextsForKnownCodesOnly)
{
    dialog.showStatus(11);
    EXPECT_EQ(u"Ready", window.text(IDC_STATUS));
    for (int code : {13, 14, 100, -1, -12}) {
        dialog.showStatus(code);
        EXPECT_EQ(u"Ready", window.text(IDC_STATUS)) << code;
    }
    EXPECT_EQ(1, window.textWrites[IDC_STATUS]);
    const struct {
        int code;
        const char16_t* text;
    } cases[] = {
        {0, u"Not connected"},           {1, u"Connection closed"},
        {3, u"Error: Cannot open port"}, {8, u"Error: Not connected yet."},
        {12, u"Manual movement"},
    };
    for (const auto& c : cases) {
        dialog.showStatus(c.code);
        EXPECT_EQ(c.text, window.text(IDC_STATUS)) << c.code;
    }
}

TEST_F(MainDialog, TimerValuesAreShownUnsigned)
{
    dialog.showDslrTimerState(2, 65535);
    EXPECT_EQ(u"65535", window.text(IDC_TIMER_STATUS));
    dialog.showDslrTimerState(0, 1000);  // the kind is not looked at
    EXPECT_EQ(u"1000", window.text(IDC_TIMER_STATUS));
    dialog.showDslrTimerState(2, -1);
    EXPECT_EQ(u"4294967295", window.text(IDC_TIMER_STATUS));
    EXPECT_EQ(3, window.textWrites[IDC_TIMER_STATUS]);
    EXPECT_EQ(0, window.textWrites[IDC_STATUS]);
}

TEST_F(MainDialog, RemoteStatesShowNothing)
{
    dialog.showDslrRemoteState(0, 1);
    dialog.showDslrRemoteState(2, 15);
    EXPECT_TRUE(window.texts.empty());
}

TEST_F(MainDialog, PostedNotificationsAreDeliveredThroughTheModel)
{
    model.onStatus(10);
    dialog.postUserMessage(kNotificationMessage, 0);
    const auto posted = window.takePostedMessages();
    ASSERT_EQ(1u, posted.size());
    dialog.onUserMessage(posted[0].first);
    EXPECT_EQ(u"Connecting... Please wait.", window.text(IDC_STATUS));
    dialog.onUserMessage(999);
    EXPECT_EQ(1, window.textWrites[IDC_STATUS]);
}

TEST_F(MainDialog, NothingIsPostedOnceTheDialogHasEnded)
{
    dialog.onDialogEnded();
    dialog.postUserMessage(kNotificationMessage, 0);
    EXPECT_TRUE(window.takePostedMessages().empty());
    EXPECT_EQ(nullptr, dialog.windowHandle.load());
}

}  // namespace
