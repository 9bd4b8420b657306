#include "ui/win32/about_dialog.h"

#include <shellapi.h>

#include "resources/resource_ids.h"

const char kSiteAddress[] = "https://merlintest.example.org/";
OpenSiteFunction openSite = ShellExecuteA;
WNDPROC previousLinkProc = nullptr;

namespace {

constexpr LONG kTitleHeight = 16;
constexpr LONG kTitleWeight = 700;

// The fonts made for the open box; at most one box is open at a time.
HFONT linkFont = nullptr;
HFONT titleFont = nullptr;

// The control's font as a LOGFONTA; the stock system font when it has none.
LOGFONTA controlFont(HWND box, int controlId)
{
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendDlgItemMessageA(box, controlId, WM_GETFONT, 0, 0));
    if (font == nullptr)
        font = GetStockObject(SYSTEM_FONT);
    LOGFONTA description = {};
    GetObjectA(font, sizeof description, &description);
    return description;
}

void giveFont(HWND box, int controlId, HFONT font)
{
    SendDlgItemMessageA(box, controlId, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void initAboutBox(HWND box)
{
    LOGFONTA link = controlFont(box, IDC_ABOUT_LINK);
    link.lfUnderline = 1;
    linkFont = CreateFontIndirectA(&link);
    giveFont(box, IDC_ABOUT_LINK, linkFont);

    // Read afresh, so nothing of the link's font carries over.
    LOGFONTA title = controlFont(box, IDC_ABOUT_TITLE);
    title.lfHeight = kTitleHeight;
    title.lfWeight = kTitleWeight;
    titleFont = CreateFontIndirectA(&title);
    giveFont(box, IDC_ABOUT_TITLE, titleFont);

    previousLinkProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
        GetDlgItem(box, IDC_ABOUT_LINK), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(linkWindowProc)));
}

void releaseFonts()
{
    DeleteObject(linkFont);
    DeleteObject(titleFont);
    linkFont = nullptr;
    titleFont = nullptr;
}

}  // namespace

INT_PTR runAboutDialog(HINSTANCE instance, HWND owner)
{
    return DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_ABOUT), owner, aboutDialogProc, 0);
}

INT_PTR CALLBACK aboutDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        initAboutBox(window);
        // The platform gives the focus to "Exit".
        return TRUE;
    case WM_COMMAND:
        // Compared whole: only a plain click (notification code 0) counts, so
        // the second half of a double-click on the link opens nothing.
        if (wParam == IDOK || wParam == IDCANCEL) {
            EndDialog(window, 1);
            return TRUE;
        }
        if (wParam == IDC_ABOUT_LINK) {
            openSite(window, nullptr, kSiteAddress, nullptr, nullptr, SW_SHOW);
            return TRUE;
        }
        return FALSE;
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lParam) == GetDlgItem(window, IDC_ABOUT_LINK)) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, GetSysColor(COLOR_HOTLIGHT));
            SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
        }
        return FALSE;
    case WM_DESTROY:
        releaseFonts();
        return FALSE;
    default:
        return FALSE;
    }
}

LRESULT CALLBACK linkWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETCURSOR) {
        SetCursor(LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HAND)));
        return TRUE;
    }
    if (previousLinkProc != nullptr)
        return CallWindowProcA(previousLinkProc, window, message, wParam, lParam);
    return 0;
}
