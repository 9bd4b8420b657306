#include "ui/win32/about_dialog.h"

#include <shellapi.h>

#include "resources/resource_ids.h"

OpenSiteFunction openSite = ShellExecuteA;
WNDPROC previousLinkProc = nullptr;

namespace {

// The AboutWindow over the open box; at most one box is open at a time.
class Win32AboutWindow : public AboutWindow {
public:
    void bind(HWND window) { box = window; }

    void underlineFont(int controlId) override
    {
        LOGFONTA font = controlFont(controlId);
        font.lfUnderline = 1;
        giveFont(controlId, &linkFont, font);
    }

    void setFontHeightAndWeight(int controlId, int height, int weight) override
    {
        // Read afresh, so nothing of another control's font carries over.
        LOGFONTA font = controlFont(controlId);
        font.lfHeight = height;
        font.lfWeight = weight;
        giveFont(controlId, &titleFont, font);
    }

    void makeLink(int controlId) override
    {
        // The colours come with WM_CTLCOLORSTATIC; the pointer and the clicks
        // (SS_NOTIFY) with the subclassing.
        previousLinkProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(GetDlgItem(box, controlId), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(linkWindowProc)));
    }

    void openSite(const char* address) override { ::openSite(box, nullptr, address, nullptr, nullptr, SW_SHOW); }

    void endDialog(int result) override { EndDialog(box, result); }

    void releaseFonts()
    {
        DeleteObject(linkFont);
        DeleteObject(titleFont);
        linkFont = nullptr;
        titleFont = nullptr;
    }

private:
    // The control's font as a LOGFONTA; the stock system font when it has none.
    LOGFONTA controlFont(int controlId)
    {
        HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendDlgItemMessageA(box, controlId, WM_GETFONT, 0, 0));
        if (font == nullptr)
            font = GetStockObject(SYSTEM_FONT);
        LOGFONTA description = {};
        GetObjectA(font, sizeof description, &description);
        return description;
    }

    void giveFont(int controlId, HFONT* slot, const LOGFONTA& description)
    {
        DeleteObject(*slot);
        *slot = CreateFontIndirectA(&description);
        SendDlgItemMessageA(box, controlId, WM_SETFONT, reinterpret_cast<WPARAM>(*slot), TRUE);
    }

    HWND box = nullptr;
    HFONT linkFont = nullptr;
    HFONT titleFont = nullptr;
};

Win32AboutWindow aboutWindow;
DlgAbout aboutBox;

}  // namespace

INT_PTR runAboutDialog(HINSTANCE instance, HWND owner)
{
    return DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_ABOUT), owner, aboutDialogProc, 0);
}

INT_PTR CALLBACK aboutDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        aboutWindow.bind(window);
        aboutBox.onInitDialog(&aboutWindow);
        // The platform gives the focus to "Exit".
        return TRUE;
    case WM_COMMAND:
        return aboutBox.onCommand(static_cast<uint32_t>(wParam)) ? TRUE : FALSE;
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lParam) == GetDlgItem(window, IDC_ABOUT_LINK)) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, GetSysColor(COLOR_HOTLIGHT));
            SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
        }
        return FALSE;
    case WM_DESTROY:
        aboutBox.onDialogEnded();
        aboutWindow.releaseFonts();
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
