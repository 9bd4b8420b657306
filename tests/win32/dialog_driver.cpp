#include "tests/win32/dialog_driver.h"

#include <cstdio>

#include "resources/resource_ids.h"
#include "ui/dlg_merlin_test.h"
#include "ui/win32/main_dialog.h"
#include "ui/win32/win32_dialog_window.h"

namespace {

constexpr UINT kProbeMessage = WM_APP + 1;
const char kProbeClass[] = "MerlinTestProbe";

// A message-only window on the user-interface thread: posted messages are
// dispatched in order, so its answer to a post means every earlier post to
// that thread has been handled.
LRESULT CALLBACK probeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kProbeMessage) {
        reinterpret_cast<std::atomic<long>*>(lParam)->store(static_cast<long>(wParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND createProbe()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = probeProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kProbeClass;
    RegisterClassA(&windowClass);  // fails harmlessly when already registered
    return CreateWindowExA(0, kProbeClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr),
                           nullptr);
}

LPARAM keyData(UINT virtualKey, bool up)
{
    const LPARAM scanCode = MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC);
    LPARAM data = 1 | (scanCode << 16);
    if (up)
        data |= (LPARAM{1} << 30) | (LPARAM{1} << 31);
    return data;
}

struct AboutSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK findOwnedDialog(HWND window, LPARAM context)
{
    AboutSearch* search = reinterpret_cast<AboutSearch*>(context);
    char className[16] = {};
    GetClassNameA(window, className, sizeof className);
    if (window != search->owner && GetWindow(window, GW_OWNER) == search->owner && IsWindowVisible(window) &&
        lstrcmpA(className, "#32770") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Where a window can go wrong under wine when a program starts: the desktop
// window it got, the process that keeps it, and whether that process had
// told it which display driver to use. A dialog that fails without a
// display driver fails like one with no X server at all.
std::string describeWindowing()
{
    HWND desktop = GetDesktopWindow();
    DWORD desktopProcess = 0;
    const DWORD desktopThread = GetWindowThreadProcessId(desktop, &desktopProcess);
    const bool displayDriverNamed = GetPropA(desktop, "__wine_display_device_guid") != nullptr;
    HWND plain =
        CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    const DWORD plainError = plain != nullptr ? 0 : GetLastError();
    if (plain != nullptr)
        DestroyWindow(plain);
    char text[256];
    std::snprintf(
        text, sizeof text,
        "desktop window %p (%s, process %lu, thread %lu, display driver %s); a plain window then %s (error %lu)",
        static_cast<void*>(desktop), IsWindow(desktop) ? "valid" : "invalid", desktopProcess, desktopThread,
        displayDriverNamed ? "named" : "not named", plain != nullptr ? "came up" : "failed", plainError);
    return text;
}

}  // namespace

bool waitUntil(const std::function<bool()>& done, uint32_t timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (done())
            return true;
        if (GetTickCount64() >= end)
            return false;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        Sleep(5);
    }
}

DialogDriver::DialogDriver(DlgMerlinTest* dialog) : dialog(dialog)
{
    thread = std::thread(uiThreadBody, ui, dialog);
    if (waitForWindow() && !ui->ended.load())
        sync();
}

bool DialogDriver::waitForWindow()
{
    return waitUntil(
        [&] {
            if (ui->ended.load())
                return true;
            DialogWindow* adapter = dialog->windowHandle.load();
            HWND window = adapter != nullptr ? static_cast<Win32DialogWindow*>(adapter)->window() : nullptr;
            if (window == nullptr || !IsWindowVisible(window))
                return false;
            mainWindow = window;
            return true;
        },
        kWaitMs);
}

void DialogDriver::uiThreadBody(std::shared_ptr<UiThreadState> state, DlgMerlinTest* dialog)
{
    state->threadId = GetCurrentThreadId();
    HWND probeWindow = createProbe();
    state->probe = probeWindow;
    const INT_PTR result = runMainDialog(dialog, GetModuleHandleA(nullptr), nullptr);
    if (result == -1) {
        state->error = GetLastError();
        state->windowing = describeWindowing();
    }
    state->result = result;
    state->ended = true;
    DestroyWindow(probeWindow);
}

DialogDriver::~DialogDriver()
{
    // A dialog that was slow to come up is closed once it is there; one that
    // never comes up is left to the end of the process.
    if (!ui->ended.load() && (mainWindow != nullptr || waitForWindow()) && mainWindow != nullptr) {
        if (HWND box = aboutBox())
            PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
        PostMessageA(mainWindow, WM_COMMAND, IDCANCEL, 0);
    }
    if (waitForEnd())
        thread.join();
    else
        thread.detach();
}

void DialogDriver::click(HWND button)
{
    SendMessageA(button, BM_CLICK, 0, 0);
}

void DialogDriver::postClick(HWND button)
{
    PostMessageA(button, BM_CLICK, 0, 0);
}

void DialogDriver::postMouseClick(HWND control)
{
    PostMessageA(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    PostMessageA(control, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
}

void DialogDriver::postDoubleClick(HWND control)
{
    postMouseClick(control);
    PostMessageA(control, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(2, 2));
    PostMessageA(control, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
}

void DialogDriver::pressKey(UINT virtualKey)
{
    HWND target = focusedControl();
    PostMessageA(target, WM_KEYDOWN, virtualKey, keyData(virtualKey, false));
    PostMessageA(target, WM_KEYUP, virtualKey, keyData(virtualKey, true));
}

void DialogDriver::type(HWND control, const std::wstring& text)
{
    for (wchar_t c : text)
        PostMessageW(control, WM_CHAR, c, 1);
    sync();
}

bool DialogDriver::sync()
{
    HWND probeWindow = ui->probe.load();
    if (probeWindow == nullptr)
        return false;
    const long token = ++probeSent;
    PostMessageA(probeWindow, kProbeMessage, static_cast<WPARAM>(token), reinterpret_cast<LPARAM>(&ui->probeSeen));
    return waitUntil([&] { return ui->probeSeen.load() == token || ui->ended.load(); }, kWaitMs);
}

HWND DialogDriver::focusedControl() const
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(ui->threadId.load(), &info))
        return nullptr;
    return info.hwndFocus;
}

std::wstring DialogDriver::text(HWND control)
{
    wchar_t buffer[512] = {};
    GetWindowTextW(control, buffer, 512);
    return buffer;
}

int DialogDriver::selectedPort() const
{
    return static_cast<int>(SendMessageA(item(IDC_PORT_LIST), CB_GETCURSEL, 0, 0));
}

HWND DialogDriver::aboutBox() const
{
    AboutSearch search = {mainWindow, nullptr};
    EnumThreadWindows(ui->threadId.load(), findOwnedDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool DialogDriver::waitForAboutBox(HWND* box)
{
    *box = nullptr;
    return waitUntil(
        [&] {
            *box = aboutBox();
            return *box != nullptr;
        },
        kWaitMs);
}

std::string DialogDriver::whyNotStarted() const
{
    if (!ui->ended.load())
        return "not shown within " + std::to_string(kWaitMs) + " ms";
    return "it ended first, returning " + std::to_string(static_cast<long long>(ui->result.load())) + " (error " +
           std::to_string(ui->error.load()) + ")" + (ui->windowing.empty() ? "" : "; " + ui->windowing);
}

bool DialogDriver::waitForEnd(uint32_t timeoutMs)
{
    return waitUntil([&] { return ui->ended.load(); }, timeoutMs);
}
