// The Windows entry point: build the object graph, run the main dialog for
// the whole life of the program, then shut down in order. No command line,
// no configuration; the exit code is always 0.
#include <windows.h>

#include "app/app_globals.h"
#include "app/app_lifecycle.h"
#include "ui/win32/main_dialog.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    startApplication(instance);
    runMainDialog(theDlgMerlinTest, static_cast<HINSTANCE>(theInstance), nullptr);
    shutdownApplication();
    return 0;
}
