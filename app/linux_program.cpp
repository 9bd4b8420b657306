#include "app/linux_program.h"

#include <QApplication>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "app/app_globals.h"
#include "app/app_lifecycle.h"
#include "app/console_check.h"
#include "app/frame_trace.h"
#include "platform/platform.h"
#include "platform/port_names.h"
#include "ui/qt/main_dialog.h"

namespace {

const char kUsage[] =
    "usage: merlintest [--trace]\n"
    "       merlintest [--trace] --check N\n"
    "       merlintest --list-ports | --help | --version\n"
    "\n"
    "Tests a motorised telescope mount on a serial port. With no option it opens\n"
    "the MerlinTest dialog, where Connect checks the mount on the COM port chosen.\n"
    "\n"
    "  --check N     check the mount on COM N (1 to 256, \"7\" or \"COM7\") without a\n"
    "                window: connect as the dialog does, print each status with the\n"
    "                milliseconds since start, disconnect. Exit 0 on \"Ready\", 1 on\n"
    "                an error, 130 on Ctrl-C\n"
    "  --list-ports  list each COM number whose device exists: COMn, a tab, the device\n"
    "  --trace       write every frame sent and every reply received to standard\n"
    "                error, one line each, with the milliseconds since start\n"
    "  --help        show this text\n"
    "  --version     show the version\n"
    "\n"
    "COM1-COM32 open /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31, COM65-COM96\n"
    "/dev/ttyACM0-31, COM97-COM128 /dev/rfcomm0-31; a link\n"
    "${XDG_CONFIG_HOME:-~/.config}/merlintest/ports/comN takes precedence.\n";

constexpr int kExitInterrupted = 128 + SIGINT;
constexpr int kExitTerminated = 128 + SIGTERM;

void traceToStandardError(const char* line)
{
    std::fputs(line, stderr);
}

int usageError(const char* problem, const char* what)
{
    std::fprintf(stderr, "merlintest: %s%s\n\n%s", problem, what, kUsage);
    return kExitUsage;
}

// "7" or "COM7" (any case), 1 to 256, or a device path; 0 when it is none.
unsigned parsePortNumber(const char* text)
{
    if (text[0] == '/')
        return platform::adoptDevicePath(text);
    if (strncasecmp(text, "COM", 3) == 0)
        text += 3;
    if (*text < '0' || *text > '9')
        return 0;
    char* end = nullptr;
    const unsigned long number = std::strtoul(text, &end, 10);
    if (*end != '\0' || number < 1 || number > platform::kMaxPortNumber)
        return 0;
    return static_cast<unsigned>(number);
}

int listPorts()
{
    for (unsigned port = 1; port <= platform::kMaxPortNumber; ++port) {
        char device[PATH_MAX];
        char target[PATH_MAX];
        if (!platform::portDeviceFound(port, device, sizeof device, target, sizeof target))
            continue;
        // Escaped, so that a name holding a newline or a tab cannot pass for
        // a line of its own.
        const char* shown = target[0] != '\0' ? target : device;
        char escaped[4 * PATH_MAX + 1];
        escapeBytes(reinterpret_cast<const uint8_t*>(shown), std::strlen(shown), escaped, sizeof escaped);
        std::printf("COM%u\t%s\n", port, escaped);
    }
    return kExitOk;
}

// Ctrl-C and SIGTERM during a check: the handler only sets the event (an
// eventfd write, safe in a handler); the check then closes the port.
platform::Event* interruptEvent = nullptr;
volatile std::sig_atomic_t interruptSignal = 0;

void onInterrupt(int signal)
{
    interruptSignal = signal;
    platform::setEvent(interruptEvent);
}

int checkMount(unsigned port)
{
    interruptEvent = platform::createEvent(true, false);
    interruptSignal = 0;
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    struct sigaction previousInt = {}, previousTerm = {};
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
    const int result = runConsoleCheck(port, stdout, interruptEvent);
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    platform::closeEvent(interruptEvent);
    interruptEvent = nullptr;
    if (result == kCheckInterrupted)
        return interruptSignal == SIGTERM ? kExitTerminated : kExitInterrupted;
    return result;
}

}  // namespace

int runLinuxProgram(int argc, char** argv)
{
    programMilliseconds();
    bool trace = false;
    bool list = false;
    unsigned checkPort = 0;
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
        } else if (std::strcmp(option, "--list-ports") == 0) {
            list = true;
        } else if (std::strcmp(option, "--check") == 0) {
            if (checkPort != 0)
                return usageError("--check given more than once: check one port at a time", "");
            if (i + 1 >= argc)
                return usageError("--check needs a COM number", "");
            checkPort = parsePortNumber(argv[++i]);
            if (checkPort == 0)
                return usageError("not a COM number from 1 to 256: ", argv[i]);
        } else {
            return usageError("unknown option ", option);
        }
    }
    if (list && checkPort != 0)
        return usageError("--list-ports and --check are two ways to run; choose one", "");
    if (list)
        return listPorts();

    if (trace)
        startFrameTrace(traceToStandardError);
    int code = kExitOk;
    if (checkPort != 0) {
        code = checkMount(checkPort);
    } else {
        // A test may have made the application object already.
        QApplication* application = nullptr;
        if (QCoreApplication::instance() == nullptr)
            application = new QApplication(argc, argv);
        startApplication(nullptr);
        runMainDialog(theDlgMerlinTest, nullptr);
        shutdownApplication();
        delete application;
        // Whichever way the dialog ended.
        code = kExitOk;
    }
    if (trace)
        stopFrameTrace();
    return code;
}
