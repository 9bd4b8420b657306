#include "app/linux_program.h"

#include <QApplication>
#include <cstdio>
#include <cstring>

#include "app/app_globals.h"
#include "app/app_lifecycle.h"
#include "app/frame_trace.h"
#include "ui/qt/main_dialog.h"

namespace {

const char kUsage[] =
    "usage: merlintest [--trace]\n"
    "       merlintest --help | --version\n"
    "\n"
    "Tests a motorised telescope mount on a serial port: opens the MerlinTest\n"
    "dialog, where Connect checks the mount on the COM port chosen.\n"
    "\n"
    "  --trace      write every frame sent and every reply received to standard\n"
    "               error, one line each, with the milliseconds since start\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "\n"
    "COM1-COM32 open /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31, COM65-COM96\n"
    "/dev/ttyACM0-31, COM97-COM128 /dev/rfcomm0-31; a link\n"
    "${XDG_CONFIG_HOME:-~/.config}/merlintest/ports/comN takes precedence.\n";

void traceToStandardError(const char* line)
{
    std::fputs(line, stderr);
}

}  // namespace

int runLinuxProgram(int argc, char** argv)
{
    programMilliseconds();
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        if (std::strcmp(option, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (std::strcmp(option, "--version") == 0) {
            std::printf("merlintest %s\n", MERLINTEST_VERSION);
            return kExitOk;
        }
        if (std::strcmp(option, "--trace") == 0) {
            trace = true;
            continue;
        }
        std::fprintf(stderr, "merlintest: unknown option %s\n\n%s", option, kUsage);
        return kExitUsage;
    }
    if (trace)
        startFrameTrace(traceToStandardError);

    // A test may have made the application object already.
    QApplication* application = nullptr;
    if (QCoreApplication::instance() == nullptr)
        application = new QApplication(argc, argv);
    startApplication(nullptr);
    runMainDialog(theDlgMerlinTest, nullptr);
    shutdownApplication();
    delete application;
    if (trace)
        stopFrameTrace();
    // Whichever way the dialog ended.
    return kExitOk;
}
