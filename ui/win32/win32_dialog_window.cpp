#include "ui/win32/win32_dialog_window.h"

#include "resources/resource_ids.h"
#include "ui/win32/about_dialog.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide text is UTF-16");

void Win32DialogWindow::bind(HWND window, HINSTANCE moduleInstance)
{
    instance = moduleInstance;
    hwnd.store(window);
}

void Win32DialogWindow::unbind()
{
    hwnd.store(nullptr);
}

void Win32DialogWindow::releaseBitmaps()
{
    for (int i = 0; i < bitmapCount; ++i)
        DeleteObject(bitmaps[i]);
    bitmapCount = 0;
}

void Win32DialogWindow::addPortEntry(const char* text)
{
    SendDlgItemMessageA(hwnd.load(), IDC_PORT_LIST, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void Win32DialogWindow::selectPortEntry(int index)
{
    SendDlgItemMessageA(hwnd.load(), IDC_PORT_LIST, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32DialogWindow::selectedPortEntry()
{
    // CB_ERR (-1) when nothing is selected.
    return static_cast<int>(SendDlgItemMessageA(hwnd.load(), IDC_PORT_LIST, CB_GETCURSEL, 0, 0));
}

void Win32DialogWindow::setButtonBitmap(int buttonId, int bitmapId)
{
    HBITMAP bitmap = LoadBitmapA(instance, MAKEINTRESOURCEA(bitmapId));
    if (bitmap != nullptr && bitmapCount < kMaxBitmaps)
        bitmaps[bitmapCount++] = bitmap;
    SendDlgItemMessageA(hwnd.load(), buttonId, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
}

void Win32DialogWindow::checkRadioButton(int firstId, int lastId, int checkedId)
{
    CheckRadioButton(hwnd.load(), firstId, lastId, checkedId);
}

bool Win32DialogWindow::isButtonChecked(int buttonId)
{
    return IsDlgButtonChecked(hwnd.load(), buttonId) == BST_CHECKED;
}

void Win32DialogWindow::enableControl(int controlId, bool enabled)
{
    EnableWindow(GetDlgItem(hwnd.load(), controlId), enabled ? TRUE : FALSE);
}

void Win32DialogWindow::focusControl(int controlId)
{
    SetFocus(GetDlgItem(hwnd.load(), controlId));
}

uint32_t Win32DialogWindow::readUnsigned(int controlId)
{
    return GetDlgItemInt(hwnd.load(), controlId, nullptr, FALSE);
}

void Win32DialogWindow::writeUnsigned(int controlId, uint32_t value)
{
    SetDlgItemInt(hwnd.load(), controlId, value, FALSE);
}

void Win32DialogWindow::setText(int controlId, const char16_t* text)
{
    SetWindowTextW(GetDlgItem(hwnd.load(), controlId), reinterpret_cast<const wchar_t*>(text));
}

void Win32DialogWindow::endDialog(int result)
{
    EndDialog(hwnd.load(), result);
}

void Win32DialogWindow::runAboutBox()
{
    runAboutDialog(instance, hwnd.load());
}

void Win32DialogWindow::postUserMessage(unsigned wParam, long lParam)
{
    HWND window = hwnd.load();
    if (window != nullptr)
        PostMessageA(window, WM_USER, wParam, lParam);
}
