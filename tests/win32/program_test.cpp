// The real MerlinTest.exe, started as a process under wine and closed the
// ways a user closes it, at moments when its threads are busy: it must end
// by itself with exit code 0 and send nothing more to the mount.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/support/sim_client.h"
#include "tests/win32/dialog_driver.h"

namespace {

using Frames = std::vector<std::string>;

constexpr int kMountPortIndex = 6;  // COM7
constexpr uint32_t kWaitMs = 20000;
// Shutdown waits for the heartbeat (up to 6 s) and the engine's threads;
// far more than that means it hangs.
constexpr uint32_t kExitWaitMs = 30000;
// How long a frame written just before the exit may take to reach the
// simulator's record through the pseudo-terminal.
constexpr DWORD kLateFrameMs = 300;

const char kCaption[] = "Testing Merlin, Autotrack and SupaTrak mounts (V 1.0)";

// The build's Unix path, as wine sees it on drive Z:.
std::string windowsPath(const std::string& unixPath)
{
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK findProcessDialog(HWND window, LPARAM context)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char caption[128] = {};
    GetWindowTextA(window, caption, sizeof caption);
    if (owner == search->processId && IsWindowVisible(window) && lstrcmpA(caption, kCaption) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

enum class CloseBy { CloseBox, Escape, Enter };

class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.open()) << "simulator control line COM8: " << sim.lastError();
        ASSERT_TRUE(sim.reset()) << sim.lastError();
    }

    void TearDown() override { endProcess(); }

    // A program that failed to close is ended here, so it neither disturbs
    // the next start nor keeps the test's output open past its end.
    void endProcess()
    {
        if (process.hProcess != nullptr) {
            if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process.hProcess, 99);
                WaitForSingleObject(process.hProcess, kExitWaitMs);
            }
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
        process = {};
    }

    // Starts the program and waits for its main dialog.
    void start()
    {
        std::string commandLine = "\"" + windowsPath(MERLINTEST_EXE) + "\"";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        ASSERT_TRUE(
            CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            << "CreateProcess " << commandLine << ": error " << GetLastError();
        ASSERT_TRUE(waitUntil(
            [&] {
                WindowSearch search = {process.dwProcessId, nullptr};
                EnumWindows(findProcessDialog, reinterpret_cast<LPARAM>(&search));
                window = search.found;
                return window != nullptr;
            },
            kWaitMs))
            << "no main dialog";
    }

    HWND item(int id) const { return GetDlgItem(window, id); }

    std::wstring status() const
    {
        wchar_t text[128] = {};
        SendMessageW(item(IDC_STATUS), WM_GETTEXT, 128, reinterpret_cast<LPARAM>(text));
        return text;
    }

    bool waitForStatus(const std::wstring& text)
    {
        return waitUntil([&] { return status() == text; }, kWaitMs);
    }

    void connect()
    {
        SendMessageA(item(IDC_PORT_LIST), CB_SETCURSEL, kMountPortIndex, 0);
        SendMessageA(item(IDC_CONNECT), BM_CLICK, 0, 0);
    }

    void close(CloseBy how)
    {
        if (how == CloseBy::CloseBox) {
            PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
            return;
        }
        const UINT key = how == CloseBy::Escape ? VK_ESCAPE : VK_RETURN;
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info));
        ASSERT_NE(info.hwndFocus, nullptr) << "the dialog " << window << " has no focused control; active window "
                                           << info.hwndActive << ", foreground window " << GetForegroundWindow();
        PostMessageA(info.hwndFocus, WM_KEYDOWN, key, 1);
        PostMessageA(info.hwndFocus, WM_KEYUP, key, 1 | (1u << 30) | (1u << 31));
    }

    // The process ends by itself, with 0, and the mount heard nothing after
    // `framesAtClose` frames.
    void expectCleanExit(size_t framesAtClose)
    {
        ASSERT_EQ(WaitForSingleObject(process.hProcess, kExitWaitMs), WAIT_OBJECT_0) << "still running";
        DWORD code = 12345;
        ASSERT_TRUE(GetExitCodeProcess(process.hProcess, &code));
        EXPECT_EQ(code, 0u);
        Sleep(kLateFrameMs);
        const Frames frames = sim.frames();
        EXPECT_EQ(frames.size(), framesAtClose) << "a frame went out after the close: " << frames.back();
    }

    SimClient sim;
    PROCESS_INFORMATION process = {};
    HWND window = nullptr;
};

TEST_F(Program, ClosingDuringAHandshakeEndsWith0AndSendsNothingMore)
{
    ASSERT_TRUE(sim.setSilent(true));
    start();
    connect();
    ASSERT_TRUE(waitForStatus(L"Connecting... Please wait."));
    ASSERT_TRUE(sim.waitForFrames(1, kWaitMs));
    ASSERT_EQ(sim.frames(), Frames{":F1\r"});
    close(CloseBy::CloseBox);
    expectCleanExit(1);
}

TEST_F(Program, ClosingWhileConnectedAndMovingSendsNoStop)
{
    start();
    connect();
    ASSERT_TRUE(waitForStatus(L"Ready"));
    ASSERT_TRUE(sim.waitForFrames(6, kWaitMs));
    SendMessageA(item(IDC_UP), BM_CLICK, 0, 0);
    ASSERT_TRUE(sim.waitForFrames(10, kWaitMs));
    ASSERT_TRUE(waitForStatus(L"Manual movement"));
    close(CloseBy::Escape);
    expectCleanExit(10);
    EXPECT_EQ(sim.frames().back(), ":J2\r");
}

// The heartbeat ticks once a second and, during a handshake, reaches into
// the engine; closes at different phases of that second land before, during
// and after a tick.
TEST_F(Program, ClosingAtAnyPhaseOfTheHeartbeatEndsWith0)
{
    ASSERT_TRUE(sim.setSilent(true));
    for (DWORD phaseMs : {0u, 250u, 500u, 750u}) {
        SCOPED_TRACE(phaseMs);
        ASSERT_TRUE(sim.clearLog());
        start();
        connect();
        ASSERT_TRUE(waitForStatus(L"Connecting... Please wait."));
        ASSERT_TRUE(sim.waitForFrames(1, kWaitMs));
        Sleep(phaseMs);
        close(CloseBy::Enter);
        expectCleanExit(1);
        endProcess();
    }
}

}  // namespace
