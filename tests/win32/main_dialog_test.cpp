// The real main dialog under wine, driven by clicks and keys, with a
// recording engine: what the user sees at start, what each control asks of
// the engine, how the dialog ends, and what the engine's notifications show.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_globals.h"
#include "app/app_model.h"
#include "app/status_codes.h"
#include "resources/resource_ids.h"
#include "tests/support/recorders.h"
#include "tests/win32/dialog_driver.h"
#include "ui/dlg_merlin_test.h"
#include "ui/win32/main_dialog.h"

namespace {

using Calls = std::vector<std::string>;

const int kV2Controls[] = {IDC_FOCUS_ON,    IDC_FOCUS_OFF,    IDC_TIMER_VALUE,
                           IDC_TIMER_START, IDC_TIMER_STATUS, IDC_TIMER_READ};
const int kAlwaysEnabled[] = {
    IDC_PORT_LIST,     IDC_CONNECT,        IDC_DISCONNECT,      IDC_STOP,   IDC_UP,      IDC_DOWN, IDC_LEFT, IDC_RIGHT,
    IDC_KIND_INTERNAL, IDC_KIND_RTS_CABLE, IDC_KIND_ADAPTER_V2, IDC_EXP_ON, IDC_EXP_OFF, IDC_ABOUT};

struct ExpectedControl {
    int id;
    const char* windowClass;
    const wchar_t* text;
};

// Template order is the tab order, which is the order of the child windows.
const ExpectedControl kTemplate[] = {
    {1000, "Static", L"Port:"},
    {102, "ComboBox", L"COM1"},
    {100, "Button", L"Connect"},
    {101, "Button", L"Disconnect"},
    {1001, "Static", L"Status:"},
    {110, "Edit", L""},
    {140, "Button", L"STOP"},
    {141, "Button", L""},
    {142, "Button", L""},
    {143, "Button", L""},
    {144, "Button", L""},
    {1002, "Button", L"DSLR remote"},
    {150, "Button", L"Merlin internal (Optionally: Kestrava Bluetooth V1)"},
    {151, "Button", L"Kestrava combined USB cable (RTS signal)"},
    {152, "Button", L"Kestrava Bluetooth V2"},
    {160, "Button", L"Exp on"},
    {161, "Button", L"Exp off"},
    {162, "Button", L"Focus on"},
    {163, "Button", L"Focus off"},
    {1002, "Static", L"Self-timed (ms):"},
    {170, "Edit", L""},
    {164, "Button", L"Start"},
    {1003, "Static", L"Timer status:"},
    {171, "Edit", L""},
    {165, "Button", L"Read"},
    {180, "Button", L"About..."},
};

std::string className(HWND window)
{
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

// Which way the black triangle on a button's bitmap points, read from its
// pixels: the apex is the narrow end of the filled area.
std::string arrowDirection(HWND button)
{
    HBITMAP bitmap = reinterpret_cast<HBITMAP>(SendMessageA(button, BM_GETIMAGE, IMAGE_BITMAP, 0));
    if (bitmap == nullptr)
        return "no bitmap";
    BITMAP info = {};
    GetObjectA(bitmap, sizeof info, &info);
    if (info.bmWidth != 16 || info.bmHeight != 16 || info.bmBitsPixel != 1)
        return "not 16x16x1";
    unsigned char bits[16 * 2] = {};  // 1-bpp device bitmap rows are word aligned
    GetBitmapBits(bitmap, sizeof bits, bits);
    int rowCount[16] = {}, columnCount[16] = {};
    int black = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            if ((bits[y * 2 + x / 8] & (0x80 >> (x % 8))) == 0) {
                ++rowCount[y];
                ++columnCount[x];
                ++black;
            }
    if (black != 30)  // 2 + 4 + 6 + 8 + 10
        return "not the triangle";
    int first = 0, last = 15;
    auto span = [&](const int* count) {
        first = 0;
        last = 15;
        while (first < 16 && count[first] == 0)
            ++first;
        while (last >= 0 && count[last] == 0)
            --last;
    };
    span(rowCount);
    if (last - first + 1 == 5 && rowCount[first] == 2 && rowCount[last] == 10)
        return "up";
    if (last - first + 1 == 5 && rowCount[first] == 10 && rowCount[last] == 2)
        return "down";
    span(columnCount);
    if (last - first + 1 == 5 && columnCount[first] == 2 && columnCount[last] == 10)
        return "left";
    if (last - first + 1 == 5 && columnCount[first] == 10 && columnCount[last] == 2)
        return "right";
    return "shapeless";
}

class MainDialog : public ::testing::Test {
protected:
    void TearDown() override
    {
        delete driver;
        theDlgMerlinTest = nullptr;
    }

    void open()
    {
        driver = new DialogDriver(&dialog);
        ASSERT_TRUE(driver->started()) << "the main dialog did not come up: " << driver->whyNotStarted();
    }

    // Calls recorded since the last take.
    Calls take()
    {
        Calls calls = engine.calls();
        engine.clear();
        return calls;
    }

    RecordingTelescopeControl engine;
    AppModel model;
    DlgMerlinTest dialog{GetModuleHandleA(nullptr), &engine, &model};
    DialogDriver* driver = nullptr;
};

TEST_F(MainDialog, ShowsTheTemplatesControlsInTabOrder)
{
    open();
    HWND child = GetWindow(driver->window(), GW_CHILD);
    for (const ExpectedControl& expected : kTemplate) {
        ASSERT_NE(child, nullptr) << "missing control " << expected.id;
        EXPECT_EQ(GetDlgCtrlID(child), expected.id);
        EXPECT_EQ(className(child), expected.windowClass) << "control " << expected.id;
        EXPECT_EQ(DialogDriver::text(child), expected.text) << "control " << expected.id;
        EXPECT_TRUE(IsWindowVisible(child)) << "control " << expected.id;
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr) << "more controls than the template has";
    EXPECT_EQ(DialogDriver::text(driver->window()), L"Testing Merlin, Autotrack and SupaTrak mounts (V 1.0)");
    // Not resizable, no minimise box; no default push button.
    const LONG_PTR style = GetWindowLongPtrA(driver->window(), GWL_STYLE);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    for (const ExpectedControl& expected : kTemplate) {
        if (className(driver->item(expected.id)) == "Button") {
            EXPECT_NE(SendMessageA(driver->item(expected.id), WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON,
                      DLGC_DEFPUSHBUTTON)
                << "control " << expected.id;
        }
    }
}

TEST_F(MainDialog, StartsOnCom1WithKind0AndTheV2ControlsDisabled)
{
    open();
    HWND ports = driver->item(IDC_PORT_LIST);
    ASSERT_EQ(SendMessageA(ports, CB_GETCOUNT, 0, 0), 256);
    for (int i = 0; i < 256; ++i) {
        char entry[32] = {};
        SendMessageA(ports, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry));
        ASSERT_EQ(std::string(entry), "COM" + std::to_string(i + 1));
    }
    EXPECT_EQ(driver->selectedPort(), 0);
    EXPECT_TRUE(driver->checked(IDC_KIND_INTERNAL));
    EXPECT_FALSE(driver->checked(IDC_KIND_RTS_CABLE));
    EXPECT_FALSE(driver->checked(IDC_KIND_ADAPTER_V2));
    for (int id : kV2Controls)
        EXPECT_FALSE(driver->enabled(id)) << "control " << id;
    for (int id : kAlwaysEnabled)
        EXPECT_TRUE(driver->enabled(id)) << "control " << id;
    EXPECT_EQ(driver->text(IDC_STATUS), L"");
    EXPECT_EQ(driver->text(IDC_TIMER_VALUE), L"");
    EXPECT_EQ(driver->text(IDC_TIMER_STATUS), L"");
    EXPECT_EQ(driver->focusedControl(), ports);
    EXPECT_EQ(arrowDirection(driver->item(IDC_UP)), "up");
    EXPECT_EQ(arrowDirection(driver->item(IDC_DOWN)), "down");
    EXPECT_EQ(arrowDirection(driver->item(IDC_LEFT)), "left");
    EXPECT_EQ(arrowDirection(driver->item(IDC_RIGHT)), "right");
    EXPECT_EQ(take(), Calls{});
}

TEST_F(MainDialog, ConnectAsksForTheSelectedPortAndSelectingSendsNothing)
{
    open();
    driver->click(IDC_CONNECT);
    EXPECT_EQ(take(), Calls{"connect(1)"});

    // Pick the last entry as a user would: a click opens the list, End goes
    // to its last entry, Enter takes it and closes the list.
    HWND ports = driver->item(IDC_PORT_LIST);
    DialogDriver::postMouseClick(ports);
    ASSERT_TRUE(driver->sync());
    ASSERT_EQ(driver->focusedControl(), ports);
    driver->pressKey(VK_END);
    driver->pressKey(VK_RETURN);
    ASSERT_TRUE(driver->sync());
    EXPECT_EQ(SendMessageA(ports, CB_GETDROPPEDSTATE, 0, 0), FALSE);
    EXPECT_EQ(driver->selectedPort(), 255);
    EXPECT_FALSE(driver->ended()) << "Enter in the opened list only picks the entry";
    EXPECT_EQ(take(), Calls{});

    driver->click(IDC_CONNECT);
    SendMessageA(ports, CB_SETCURSEL, 254, 0);
    driver->click(IDC_CONNECT);
    driver->click(IDC_DISCONNECT);
    EXPECT_EQ(take(), (Calls{"connect(256)", "connect(255)", "disconnect()"}));
}

TEST_F(MainDialog, ArrowsMoveAtSpeedIndex2AndStopStopsBothChannels)
{
    open();
    driver->click(IDC_UP);
    driver->click(IDC_DOWN);
    driver->click(IDC_LEFT);
    driver->click(IDC_RIGHT);
    driver->click(IDC_STOP);
    EXPECT_EQ(take(), (Calls{"move(0,2)", "move(1,2)", "move(3,2)", "move(2,2)", "stop(4)"}));
}

TEST_F(MainDialog, RadioButtonsSwitchTheV2ControlsAndSendNothing)
{
    open();
    driver->click(IDC_KIND_ADAPTER_V2);
    EXPECT_TRUE(driver->checked(IDC_KIND_ADAPTER_V2));
    EXPECT_FALSE(driver->checked(IDC_KIND_INTERNAL));
    EXPECT_FALSE(driver->checked(IDC_KIND_RTS_CABLE));
    for (int id : kV2Controls)
        EXPECT_TRUE(driver->enabled(id)) << "control " << id;

    driver->click(IDC_KIND_ADAPTER_V2);  // already checked
    EXPECT_TRUE(driver->checked(IDC_KIND_ADAPTER_V2));
    for (int id : kV2Controls)
        EXPECT_TRUE(driver->enabled(id)) << "control " << id;

    driver->click(IDC_KIND_RTS_CABLE);
    EXPECT_TRUE(driver->checked(IDC_KIND_RTS_CABLE));
    EXPECT_FALSE(driver->checked(IDC_KIND_ADAPTER_V2));
    for (int id : kV2Controls)
        EXPECT_FALSE(driver->enabled(id)) << "control " << id;

    driver->click(IDC_KIND_ADAPTER_V2);
    driver->click(IDC_KIND_INTERNAL);
    EXPECT_TRUE(driver->checked(IDC_KIND_INTERNAL));
    for (int id : kV2Controls)
        EXPECT_FALSE(driver->enabled(id)) << "control " << id;
    for (int id : kAlwaysEnabled)
        EXPECT_TRUE(driver->enabled(id)) << "control " << id;
    EXPECT_EQ(take(), Calls{});
}

TEST_F(MainDialog, RemoteButtonsSendTheWholeFlagsWordWithTheCheckedKind)
{
    open();
    driver->click(IDC_EXP_ON);
    driver->click(IDC_EXP_OFF);
    EXPECT_EQ(take(), (Calls{"setDslrRemote(0,1)", "setDslrRemote(0,0)"}));

    driver->click(IDC_KIND_ADAPTER_V2);
    driver->click(IDC_EXP_ON);
    driver->click(IDC_FOCUS_ON);
    driver->click(IDC_EXP_OFF);
    driver->click(IDC_FOCUS_OFF);
    EXPECT_EQ(take(), (Calls{"setDslrRemote(2,1)", "setDslrRemote(2,3)", "setDslrRemote(2,2)", "setDslrRemote(2,0)"}));

    // The flags outlive a change of kind.
    driver->click(IDC_FOCUS_ON);
    driver->click(IDC_KIND_RTS_CABLE);
    driver->click(IDC_EXP_ON);
    EXPECT_EQ(take(), (Calls{"setDslrRemote(2,2)", "setDslrRemote(1,3)"}));
}

TEST_F(MainDialog, StartSendsTheTypedTimeAsReadAndReadAsksForTheTimer)
{
    open();
    driver->click(IDC_KIND_ADAPTER_V2);
    HWND field = driver->item(IDC_TIMER_VALUE);
    driver->click(IDC_TIMER_START);  // empty field
    driver->type(field, L"abc");
    driver->click(IDC_TIMER_START);
    SetWindowTextW(field, L"");
    driver->type(field, L"500");
    ASSERT_EQ(DialogDriver::text(field), L"500");
    driver->click(IDC_TIMER_START);
    SetWindowTextW(field, L"");
    driver->type(field, L"70000");
    driver->click(IDC_TIMER_START);
    driver->click(IDC_TIMER_READ);
    EXPECT_EQ(take(), (Calls{"startDslrTimer(1,0,0)", "startDslrTimer(1,0,0)", "startDslrTimer(1,0,500)",
                             "startDslrTimer(1,0,70000)", "readDslrTimer()"}));
}

TEST_F(MainDialog, EnterInThePortListEndsWith1)
{
    open();
    ASSERT_EQ(driver->focusedControl(), driver->item(IDC_PORT_LIST));
    driver->pressKey(VK_RETURN);
    ASSERT_TRUE(driver->waitForEnd());
    EXPECT_EQ(driver->result(), 1);
    EXPECT_EQ(dialog.windowHandle.load(), nullptr);
    EXPECT_EQ(take(), Calls{});
}

TEST_F(MainDialog, EnterInTheTimerFieldEndsWith1)
{
    open();
    driver->click(IDC_KIND_ADAPTER_V2);
    HWND field = driver->item(IDC_TIMER_VALUE);
    DialogDriver::postMouseClick(field);
    ASSERT_TRUE(driver->sync());
    ASSERT_EQ(driver->focusedControl(), field);
    driver->pressKey(VK_RETURN);
    ASSERT_TRUE(driver->waitForEnd());
    EXPECT_EQ(driver->result(), 1);
}

TEST_F(MainDialog, EscEndsWith0)
{
    open();
    driver->pressKey(VK_ESCAPE);
    ASSERT_TRUE(driver->waitForEnd());
    EXPECT_EQ(driver->result(), 0);
    EXPECT_EQ(take(), Calls{});
}

TEST_F(MainDialog, CloseBoxEndsWith0)
{
    open();
    PostMessageA(driver->window(), WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(driver->waitForEnd());
    EXPECT_EQ(driver->result(), 0);
}

TEST_F(MainDialog, ShowsTheLatestStatusAndTimerValueTheModelAnnounces)
{
    theDlgMerlinTest = &dialog;
    open();
    HWND status = driver->item(IDC_STATUS);
    HWND timer = driver->item(IDC_TIMER_STATUS);

    model.onStatus(StatusReady);
    ASSERT_TRUE(waitUntil([&] { return DialogDriver::text(status) == L"Ready"; }, DialogDriver::kWaitMs));

    // Out of range: the field keeps its text.
    model.onStatus(13);
    model.onStatus(-1);
    ASSERT_TRUE(driver->sync());
    EXPECT_EQ(DialogDriver::text(status), L"Ready");

    model.onDslrTimerState(2, 65535);
    ASSERT_TRUE(waitUntil([&] { return DialogDriver::text(timer) == L"65535"; }, DialogDriver::kWaitMs));
    model.onDslrTimerState(2, -1);
    ASSERT_TRUE(waitUntil([&] { return DialogDriver::text(timer) == L"4294967295"; }, DialogDriver::kWaitMs));
    EXPECT_EQ(DialogDriver::text(status), L"Ready");

    // A remote state shows nothing, nor does a user message that is not a
    // notification.
    model.onDslrRemoteState(0, 5);
    PostMessageA(driver->window(), WM_USER, 999, 0);
    ASSERT_TRUE(driver->sync());
    EXPECT_EQ(DialogDriver::text(status), L"Ready");
    EXPECT_EQ(DialogDriver::text(timer), L"4294967295");

    model.onStatus(StatusConnecting);
    ASSERT_TRUE(
        waitUntil([&] { return DialogDriver::text(status) == L"Connecting... Please wait."; }, DialogDriver::kWaitMs));
    EXPECT_EQ(take(), Calls{});

    // Once the dialog has ended nothing is posted to its stale window.
    driver->pressKey(VK_ESCAPE);
    ASSERT_TRUE(driver->waitForEnd());
    EXPECT_EQ(dialog.windowHandle.load(), nullptr);
    model.onStatus(StatusReady);
}

// What the procedure returns is not visible through SendMessage (a dialog's
// message result is DWLP_MSGRESULT), so these call it directly.
TEST_F(MainDialog, ProcedureDispatchesOnTheControlIdAlone)
{
    open();
    HWND window = driver->window();
    HWND ports = driver->item(IDC_PORT_LIST);
    EXPECT_EQ(
        mainDialogProc(window, WM_COMMAND, MAKEWPARAM(IDC_PORT_LIST, CBN_SELCHANGE), reinterpret_cast<LPARAM>(ports)),
        FALSE);
    EXPECT_EQ(mainDialogProc(window, WM_COMMAND, MAKEWPARAM(IDC_TIMER_VALUE, EN_CHANGE), 0), FALSE);
    EXPECT_EQ(mainDialogProc(window, WM_COMMAND, MAKEWPARAM(IDC_STOP, BN_DOUBLECLICKED), 0), TRUE);
    EXPECT_EQ(mainDialogProc(window, WM_COMMAND, MAKEWPARAM(IDC_DISCONNECT, 0), 12345), TRUE);
    EXPECT_EQ(mainDialogProc(window, WM_USER, 999, 0), TRUE);
    EXPECT_EQ(mainDialogProc(window, WM_USER, 1000, 0), TRUE);
    EXPECT_EQ(mainDialogProc(window, WM_TIMER, 1, 0), FALSE);
    EXPECT_EQ(take(), (Calls{"stop(4)", "disconnect()"}));
}

}  // namespace
