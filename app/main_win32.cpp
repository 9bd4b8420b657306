// The Windows entry point: build the object graph, run the main dialog for
// the whole life of the program, then shut down in order. No command line,
// no configuration; the exit code is 0, or 1 when start-up could not get its
// resources. The frame trace goes to the debugger output, where only a
// debugger or a viewer of it sees it.
#include <windows.h>

#include "app/app_globals.h"
#include "app/app_lifecycle.h"
#include "app/frame_trace.h"
#include "ui/win32/main_dialog.h"

namespace {

void traceToDebugger(const char* line)
{
    OutputDebugStringA(line);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    startFrameTrace(traceToDebugger);
    // Without its pipe, events or threads the program cannot run: it ends
    // quietly with 1.
    const bool started = startApplication(instance);
    if (started)
        runMainDialog(theDlgMerlinTest, static_cast<HINSTANCE>(theInstance), nullptr);
    shutdownApplication();
    stopFrameTrace();
    return started ? 0 : 1;
}
