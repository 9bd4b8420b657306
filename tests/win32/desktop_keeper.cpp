// Keeps one wine desktop up for a whole test run. Started (detached) by the
// wine fixture: it opens a hidden window, which brings up the desktop
// process and the display driver, says "ready" and then waits to be ended
// with the wine server. Without it every dialog test started the desktop
// anew just as the previous test's desktop was closing, and a desktop that
// fails to come up fails every window with error 1400.
#include <windows.h>

#include <cstdio>

namespace {

// A second thread on the desktop, so the process never counts as a single
// thread there: with exactly one, wine may take the desktop for unused when
// one of the desktop process's own threads ends.
DWORD WINAPI waitForever(void*)
{
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int main()
{
    HWND window = CreateWindowExA(0, "STATIC", "MerlinTest desktop keeper", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (window == nullptr) {
        std::printf("no window: error %lu\n", GetLastError());
        return 1;
    }
    HANDLE second = CreateThread(nullptr, 0, waitForever, nullptr, 0, nullptr);
    if (second == nullptr) {
        std::printf("no second thread: error %lu\n", GetLastError());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0)
        DispatchMessageA(&message);
    return 0;
}
