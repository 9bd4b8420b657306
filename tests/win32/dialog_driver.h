// Drives the real main dialog the way a user does. The dialog runs modally on
// a user-interface thread of its own; the test thread clicks its buttons
// (BM_CLICK, so the button itself sends WM_COMMAND), presses keys on the
// focused control (posted, so the dialog manager sees them in the modal
// loop) and reads back what the window shows.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class DlgMerlinTest;

// Polls `done` until it holds or `timeoutMs` has passed; true when it held.
bool waitUntil(const std::function<bool()>& done, uint32_t timeoutMs);

class DialogDriver {
public:
    static constexpr uint32_t kWaitMs = 10000;

    // Starts runMainDialog(dialog) on a new user-interface thread and waits
    // until the dialog is up and idle in its modal loop.
    explicit DialogDriver(DlgMerlinTest* dialog);
    // Ends a dialog that is still open (closing an About box first).
    ~DialogDriver();
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;

    bool started() const { return mainWindow != nullptr; }
    HWND window() const { return mainWindow; }
    HWND item(int id) const { return GetDlgItem(mainWindow, id); }

    // A click that returns once the command has been handled.
    void click(int id) { click(item(id)); }
    static void click(HWND button);
    // A click whose command opens a modal box, so it cannot be waited for.
    static void postClick(HWND button);
    // A mouse click on a control that is not a button (a static, an edit).
    static void postMouseClick(HWND control);
    static void postDoubleClick(HWND control);
    // Key down and up on the control that has the keyboard focus.
    void pressKey(UINT virtualKey);
    // Types the text into the control, character by character.
    void type(HWND control, const std::wstring& text);
    // Returns once every message posted to the user-interface thread before
    // the call has been dispatched.
    bool sync();

    HWND focusedControl() const;
    static std::wstring text(HWND control);
    std::wstring text(int id) const { return text(item(id)); }
    bool checked(int id) const { return IsDlgButtonChecked(mainWindow, id) == BST_CHECKED; }
    bool enabled(int id) const { return IsWindowEnabled(item(id)) != FALSE; }
    int selectedPort() const;

    // The About box over the main dialog, or null when none is open.
    HWND aboutBox() const;
    bool waitForAboutBox(HWND* box);

    bool ended() const { return ui->ended.load(); }
    bool waitForEnd(uint32_t timeoutMs = kWaitMs);
    INT_PTR result() const { return ui->result.load(); }
    // Why the dialog is not up, for a test's failure message.
    std::string whyNotStarted() const;
    DWORD uiThreadId() const { return ui->threadId.load(); }

private:
    // What the user-interface thread shares with the test thread; kept alive
    // by both, so a thread left running after a failure writes nothing freed.
    struct UiThreadState {
        std::atomic<DWORD> threadId{0};
        std::atomic<HWND> probe{nullptr};
        std::atomic<long> probeSeen{0};
        std::atomic<bool> ended{false};
        std::atomic<INT_PTR> result{-2};
        std::atomic<DWORD> error{0};  // GetLastError() when the dialog failed (-1)
        std::string windowing;        // what the window system looked like then; read once `ended` is set
    };
    static void uiThreadBody(std::shared_ptr<UiThreadState> state, DlgMerlinTest* dialog);
    // True once the dialog's window is up (then in mainWindow) or it ended.
    bool waitForWindow();

    DlgMerlinTest* dialog;
    std::shared_ptr<UiThreadState> ui = std::make_shared<UiThreadState>();
    std::thread thread;
    long probeSent = 0;
    HWND mainWindow = nullptr;
};
