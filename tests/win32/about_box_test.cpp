// The real About box under wine, opened from the main dialog's "About..."
// button: its look (bold title, underlined link in the hyperlink colour on no
// background, hand pointer), the link's click, the ways it closes, and that
// the main dialog comes back as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_model.h"
#include "resources/resource_ids.h"
#include "tests/support/recorders.h"
#include "tests/win32/dialog_driver.h"
#include "ui/dlg_merlin_test.h"
#include "ui/win32/about_dialog.h"

namespace {

struct SiteOpen {
    HWND parent;
    bool noVerb;
    std::string file;
    bool noParameters;
    bool noDirectory;
    INT showCommand;
};

// Filled on the user-interface thread, read once the test has synced with it.
std::vector<SiteOpen> siteOpens;

HINSTANCE WINAPI countSiteOpen(HWND parent, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                               INT showCommand)
{
    siteOpens.push_back({parent, verb == nullptr, file != nullptr ? file : "", parameters == nullptr,
                         directory == nullptr, showCommand});
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(33));
}

LOGFONTA fontOf(HWND control)
{
    LOGFONTA description = {};
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0));
    if (font != nullptr)
        GetObjectA(font, sizeof description, &description);
    return description;
}

// The main dialog's state that the About box must leave alone.
struct MainState {
    int port;
    bool kind[3];
    bool v2Enabled;
    std::wstring timerValue;
    std::wstring status;

    bool operator==(const MainState& other) const
    {
        return port == other.port && kind[0] == other.kind[0] && kind[1] == other.kind[1] && kind[2] == other.kind[2] &&
               v2Enabled == other.v2Enabled && timerValue == other.timerValue && status == other.status;
    }
};

class AboutBox : public ::testing::Test {
protected:
    void SetUp() override
    {
        siteOpens.clear();
        openSite = countSiteOpen;
        driver = new DialogDriver(&dialog);
        ASSERT_TRUE(driver->started()) << "the main dialog did not come up: " << driver->whyNotStarted();
    }

    void TearDown() override
    {
        delete driver;
        openSite = ShellExecuteA;
    }

    // Clicks "About..." and waits for the box over the main dialog.
    HWND openBox()
    {
        DialogDriver::postClick(driver->item(IDC_ABOUT));
        HWND box = nullptr;
        EXPECT_TRUE(driver->waitForAboutBox(&box)) << "no About box";
        EXPECT_TRUE(driver->sync());
        return box;
    }

    bool waitClosed(HWND box)
    {
        return waitUntil([&] { return !IsWindow(box) && IsWindowEnabled(driver->window()); }, DialogDriver::kWaitMs);
    }

    MainState mainState()
    {
        return {driver->selectedPort(),
                {driver->checked(IDC_KIND_INTERNAL), driver->checked(IDC_KIND_RTS_CABLE),
                 driver->checked(IDC_KIND_ADAPTER_V2)},
                driver->enabled(IDC_TIMER_START),
                driver->text(IDC_TIMER_VALUE),
                driver->text(IDC_STATUS)};
    }

    RecordingTelescopeControl engine;
    AppModel model;
    DlgMerlinTest dialog{GetModuleHandleA(nullptr), &engine, &model};
    DialogDriver* driver = nullptr;
};

TEST_F(AboutBox, OpensOverTheMainDialogWithBoldTitleAndUnderlinedLink)
{
    HWND box = openBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(DialogDriver::text(box), L"About");
    EXPECT_FALSE(IsWindowEnabled(driver->window())) << "the main dialog takes no input meanwhile";

    HWND title = GetDlgItem(box, IDC_ABOUT_TITLE);
    HWND credit = GetDlgItem(box, IDC_ABOUT_CREDIT);
    HWND link = GetDlgItem(box, IDC_ABOUT_LINK);
    HWND exitButton = GetDlgItem(box, IDC_ABOUT_EXIT);
    EXPECT_EQ(DialogDriver::text(title), L"Testprogram for Merlin mounts (V 1.0)");
    EXPECT_FALSE(DialogDriver::text(credit).empty());
    EXPECT_NE(DialogDriver::text(GetDlgItem(box, IDC_ABOUT_DESCRIPTION)).find(L'\n'), std::wstring::npos)
        << "a two-line description";
    EXPECT_EQ(DialogDriver::text(link), std::wstring(kSiteAddress, kSiteAddress + strlen(kSiteAddress)));
    EXPECT_EQ(DialogDriver::text(exitButton), L"Exit");
    EXPECT_EQ(driver->focusedControl(), exitButton);

    const LOGFONTA titleFont = fontOf(title);
    const LOGFONTA creditFont = fontOf(credit);
    const LOGFONTA linkFont = fontOf(link);
    EXPECT_EQ(titleFont.lfHeight, 16);
    EXPECT_EQ(titleFont.lfWeight, 700);
    EXPECT_EQ(titleFont.lfUnderline, 0) << "nothing of the link's font carries over";
    EXPECT_EQ(linkFont.lfUnderline, 1);
    EXPECT_EQ(linkFont.lfHeight, creditFont.lfHeight) << "the link keeps the box's font size";
    EXPECT_EQ(creditFont.lfUnderline, 0);
    EXPECT_LT(creditFont.lfWeight, 700);

    // The link is drawn in the hyperlink colour on no background of its own;
    // the other texts keep the default colours.
    HDC dc = CreateCompatibleDC(nullptr);
    SetTextColor(dc, RGB(1, 2, 3));
    SetBkMode(dc, OPAQUE);
    const LRESULT linkBrush =
        SendMessageA(box, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(link));
    EXPECT_EQ(reinterpret_cast<HGDIOBJ>(linkBrush), GetStockObject(NULL_BRUSH));
    EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_HOTLIGHT));
    EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
    SetTextColor(dc, RGB(1, 2, 3));
    SetBkMode(dc, OPAQUE);
    const LRESULT creditBrush =
        SendMessageA(box, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(credit));
    EXPECT_NE(reinterpret_cast<HGDIOBJ>(creditBrush), GetStockObject(NULL_BRUSH));
    EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_WINDOWTEXT));
    DeleteDC(dc);

    // Over the link the pointer is the hand; the control's own procedure is
    // not asked to set another one.
    EXPECT_EQ(SendMessageA(link, WM_SETCURSOR, reinterpret_cast<WPARAM>(link), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
              TRUE);
    CURSORINFO cursor = {};
    cursor.cbSize = sizeof cursor;
    GetCursorInfo(&cursor);
    EXPECT_EQ(cursor.hCursor, LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HAND)));
    EXPECT_NE(previousLinkProc, nullptr);
    EXPECT_EQ(siteOpens.size(), 0u);
}

TEST_F(AboutBox, LinkClickOpensTheSiteOnceAndLeavesTheBoxOpen)
{
    HWND box = openBox();
    ASSERT_NE(box, nullptr);
    HWND link = GetDlgItem(box, IDC_ABOUT_LINK);

    DialogDriver::postMouseClick(link);
    ASSERT_TRUE(driver->sync());
    ASSERT_EQ(siteOpens.size(), 1u);
    EXPECT_EQ(siteOpens[0].parent, box);
    EXPECT_TRUE(siteOpens[0].noVerb);
    EXPECT_EQ(siteOpens[0].file, "https://merlintest.example.org/");
    EXPECT_TRUE(siteOpens[0].noParameters);
    EXPECT_TRUE(siteOpens[0].noDirectory);
    EXPECT_EQ(siteOpens[0].showCommand, SW_SHOW);
    EXPECT_TRUE(IsWindowVisible(box)) << "opening the site does not close the box";

    // The second half of a double-click comes with its own notification code.
    DialogDriver::postDoubleClick(link);
    ASSERT_TRUE(driver->sync());
    EXPECT_EQ(siteOpens.size(), 2u);
    EXPECT_TRUE(IsWindowVisible(box));
}

TEST_F(AboutBox, ExitEscAndTheCloseBoxCloseItAndTheMainDialogIsAsItWas)
{
    // Leave the main dialog in a state of the user's making first.
    SendMessageA(driver->item(IDC_PORT_LIST), CB_SETCURSEL, 6, 0);
    driver->click(IDC_KIND_ADAPTER_V2);
    driver->type(driver->item(IDC_TIMER_VALUE), L"1234");
    driver->click(IDC_FOCUS_ON);
    engine.clear();
    const MainState before = mainState();

    std::vector<HFONT> earlierFonts;
    for (int way = 0; way < 4; ++way) {
        SCOPED_TRACE(way);
        HWND box = openBox();
        ASSERT_NE(box, nullptr);
        // Each opening starts afresh.
        EXPECT_EQ(fontOf(GetDlgItem(box, IDC_ABOUT_TITLE)).lfWeight, 700);
        EXPECT_EQ(fontOf(GetDlgItem(box, IDC_ABOUT_LINK)).lfUnderline, 1);
        earlierFonts.push_back(
            reinterpret_cast<HFONT>(SendMessageA(GetDlgItem(box, IDC_ABOUT_LINK), WM_GETFONT, 0, 0)));
        switch (way) {
        case 0:
            DialogDriver::postClick(GetDlgItem(box, IDC_ABOUT_EXIT));
            break;
        case 1:
            driver->pressKey(VK_ESCAPE);
            break;
        case 2:
            PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
            break;
        case 3:
            driver->pressKey(VK_RETURN);  // on "Exit", which has the focus
            break;
        }
        ASSERT_TRUE(waitClosed(box));
        EXPECT_FALSE(driver->ended()) << "closing the box leaves the main dialog running";
        EXPECT_TRUE(mainState() == before);
        // The box's fonts are released with it.
        LOGFONTA gone = {};
        EXPECT_EQ(GetObjectA(earlierFonts.back(), sizeof gone, &gone), 0);
    }
    EXPECT_EQ(siteOpens.size(), 0u);
    EXPECT_EQ(engine.calls(), std::vector<std::string>{});

    // The main dialog takes input again, and the camera flags are as they were.
    driver->click(IDC_EXP_ON);
    EXPECT_EQ(engine.calls(), std::vector<std::string>{"setDslrRemote(2,3)"});
}

}  // namespace
