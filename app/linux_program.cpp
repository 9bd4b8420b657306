#include "app/linux_program.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>
#include <strings.h>
#include <unistd.h>

#include "app/app_globals.h"
#include "app/app_lifecycle.h"
#include "app/console_check.h"
#include "app/console_preflight.h"
#include "app/dialog_mode.h"
#include "app/display_probe.h"
#include "app/frame_trace.h"
#include "app/output_writer.h"
#include "platform/platform.h"
#include "platform/port_names.h"
#include "platform/posix/net_posix.h"

namespace {

const char kUsage[] =
    "usage: merlintest [--trace] [QT-OPTION...]\n"
    "       merlintest [--trace] --check N [--report | --self-test [--camera KIND]]\n"
    "                  [--json]\n"
    "       merlintest --list-ports | --help | --version\n"
    "\n"
    "Tests a motorised telescope mount on a serial port. With no option it opens\n"
    "the MerlinTest dialog, where Connect checks the mount on the COM port chosen.\n"
    "\n"
    "  --check N, --check=N\n"
    "                check the mount on COM N (1 to 256, \"7\" or \"COM7\"), a device\n"
    "                path or a network address (below) without a window: connect\n"
    "                as the dialog does, print each status with the milliseconds\n"
    "                since start, disconnect\n"
    "  --report      after \"Ready\", read and print the mount's own figures, each\n"
    "                with its raw reply (\"not answered\" where it lacks a command)\n"
    "  --self-test   the figures, then jog each axis a little each way (at most\n"
    "                0.5 deg, 2.4 s in all), prove it moved the way named, stopped\n"
    "                and stays stopped; one PASS/FAIL line a step. The mount moves!\n"
    "  --camera KIND with --self-test, also fire the shutter through the\n"
    "                auxiliary output (aux), the cable's RTS line (cable) or the\n"
    "                Bluetooth adapter (adapter)\n"
    "  --json        print the figures and steps as one JSON document instead\n"
    "  --list-ports  list each COM number whose device exists, tab-separated:\n"
    "                COMn, the device, its /dev/serial/by-id name, its product\n"
    "  --trace       write every frame sent and every reply received to standard\n"
    "                error, one line each, with the milliseconds since start\n"
    "  -h, --help    show this text\n"
    "  -V, --version show the version\n"
    "\n"
    "A long option may be shortened while it stays unambiguous (--list); \"--\"\n"
    "ends the options. Qt's own options pass to the dialog: -style NAME,\n"
    "-platform NAME, -display DISPLAY, -reverse and the others of Qt's manual.\n"
    "\n"
    "Exit status:\n"
    "  0    the dialog ended, a check reached \"Ready\" (and its self-test passed),\n"
    "       or the list, help, version\n"
    "  1    a check or a step of its self-test failed, or there is no display\n"
    "  2    a bad command line\n"
    "  130  a check ended by Ctrl-C (SIGINT)\n"
    "  143  a check ended by SIGTERM\n"
    "\n"
    "COM1-COM32 open /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31, COM65-COM96\n"
    "/dev/ttyACM0-31, COM97-COM128 /dev/rfcomm0-31, COM129-COM160 /dev/ttyAMA0-31\n"
    "(a board's own UARTs); a link\n"
    "${XDG_CONFIG_HOME:-~/.config}/merlintest/ports/comN takes precedence.\n"
    "A network address works wherever a device path does, and as a link's target:\n"
    "udp://HOST[:PORT] for a WiFi adapter (port 11880 when left out),\n"
    "tcp://HOST:PORT for a serial server.\n"
    "The user guide: /usr/share/doc/merlintest/user-guide.html\n";

const char kVersion[] = "merlintest " MERLINTEST_VERSION
                        "\n"
                        "Copyright (c) 2026 The MerlinTest developers\n"
                        "This is free software under the MIT License; there is NO WARRANTY, to the\n"
                        "extent permitted by law.\n";

constexpr int kExitFailure = 1;
constexpr int kExitInterrupted = 128 + SIGINT;
constexpr int kExitTerminated = 128 + SIGTERM;

// Lines that may wait for a slow reader: a flood's trace fills its queue in
// a moment and is then dropped; a check prints a handful of statuses, a
// report or self-test a few dozen lines more.
constexpr size_t kTraceQueueLines = 128;
constexpr size_t kStatusQueueLines = 256;
// How long the end of the program waits for the writers to empty their
// queues; a writer that still cannot write is left behind. Ctrl-C asks for
// an end at once: then only the shorter wait.
constexpr uint32_t kOutputFlushMs = 1000;
constexpr uint32_t kErrorFlushMs = 200;

// Standard error's writer (the trace, notices) while a check or a traced
// dialog runs; null otherwise.
std::atomic<OutputWriter*> errorWriter{nullptr};
// A writer still blocked in a write when the program ends is kept here, as
// its thread still uses it.
OutputWriter* leftBehind = nullptr;

void traceToStandardError(const char* line)
{
    errorWriter.load()->add(line);
}

// "merlintest: <what>: <strerror>" on standard error, through its writer
// when there is one, so that a stalled reader never holds the program.
void reportFailure(const char* what, int error)
{
    char line[OutputWriter::kLineSize];
    std::snprintf(line, sizeof line, "merlintest: %s: %s\n", what, std::strerror(error));
    OutputWriter* writer = errorWriter.load();
    if (writer != nullptr)
        writer->add(line, true);
    else
        std::fputs(line, stderr);
}

int cannotStart(int error)
{
    reportFailure("cannot start", error);
    return kExitFailure;
}

// What the console modes printed with stdio reaches standard output here at
// the latest; a failed write is the program's failure.
int finishStandardOutput(int code)
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return code;
    // An error seen by an earlier write whose errno is gone.
    reportFailure("write error", errno != 0 ? errno : EIO);
    return kExitFailure;
}

// One line on what is wrong and where to look, as command-line tools do.
int usageError(const std::string& problem)
{
    std::fprintf(stderr, "merlintest: %s\nTry 'merlintest --help' for more information.\n", problem.c_str());
    return kExitUsage;
}

// "7" or "COM7" (any case), 1 to 256, a device path or a network address;
// 0 when it is none.
unsigned parsePortNumber(const char* text)
{
    if (platform::isDevicePathText(text))
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

// A field of the listing, escaped as the trace escapes bytes, so that a name
// holding a tab, a newline or bytes that are no text cannot pass for a field
// or a line of its own.
std::string listingField(const std::string& bytes)
{
    std::vector<char> escaped(4 * bytes.size() + 1);
    escapeBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), escaped.data(), escaped.size());
    return escaped.data();
}

int listPorts()
{
    const platform::PortListing listing;
    for (unsigned port = 1; port <= platform::kMaxPortNumber; ++port) {
        char device[PATH_MAX];
        char target[PATH_MAX];
        if (!platform::portDeviceFound(port, device, sizeof device, target, sizeof target))
            continue;
        const platform::PortDevice about = platform::describePortDevice(device);
        std::printf("COM%u\t%s\t%s\t%s\n", port, listingField(target[0] != '\0' ? target : device).c_str(),
                    listingField(about.byId).c_str(), listingField(platform::productName(about)).c_str());
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

int checkMount(unsigned port, OutputWriter* statuses, const ConsolePreflight* preflight)
{
    interruptEvent = platform::createEvent(true, false);
    if (interruptEvent == nullptr)
        return cannotStart(errno);
    interruptSignal = 0;
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    struct sigaction previousInt = {}, previousTerm = {};
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);
    // A JSON document has standard output to itself.
    int result =
        runConsoleCheck(port, preflight != nullptr && preflight->json ? errorWriter.load() : statuses, interruptEvent);
    const int error = errno;
    if (result == kCheckReady && preflight != nullptr)
        result = runConsolePreflight(port, *preflight, statuses, errorWriter.load(), interruptEvent);
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    platform::closeEvent(interruptEvent);
    interruptEvent = nullptr;
    if (result == kCheckCannotStart)
        return cannotStart(error);
    if (result == kCheckInterrupted)
        return interruptSignal == SIGTERM ? kExitTerminated : kExitInterrupted;
    return result;
}

// Gives the writers kOutputFlushMs to empty their queues (kErrorFlushMs
// after Ctrl-C or SIGTERM, and standard error at least that long after the
// statuses, for what they report), reports a failed write of the statuses
// and releases each writer whose thread has ended.
int finishOutput(OutputWriter* statuses, int code)
{
    const bool interrupted = code == kExitInterrupted || code == kExitTerminated;
    const uint64_t deadline = platform::nowMilliseconds() + (interrupted ? kErrorFlushMs : kOutputFlushMs);
    bool statusesEnded = true;
    if (statuses != nullptr) {
        statusesEnded = statuses->finish(deadline);
        if (const int error = statuses->error()) {
            reportFailure("write error", error);
            // Ctrl-C's and SIGTERM's codes still tell how the check ended.
            if (!interrupted)
                code = kExitFailure;
        }
        if (statusesEnded)
            delete statuses;
        else
            leftBehind = statuses;
    }
    OutputWriter* errors = errorWriter.load();
    // The statuses' writer reports its drops to it, and the engine's threads
    // trace into it: it stays while either may still run.
    if (errors != nullptr && errors->finish(std::max(deadline, platform::nowMilliseconds() + kErrorFlushMs)) &&
        statusesEnded && theTelescopeControl == nullptr) {
        errorWriter.store(nullptr);
        delete errors;
    }
    return code;
}

// The command line. An option is one row of kOptions and one case in
// parseCommandLine; one with a short form has its letter as its value, and
// the letter in kShortOptions.
enum OptionId : int {
    kOptionHelp = 'h',
    kOptionVersion = 'V',
    kOptionCheck = 256,
    kOptionListPorts,
    kOptionTrace,
    kOptionReport,
    kOptionSelfTest,
    kOptionCamera,
    kOptionJson,
};

// clang-format off
const option kOptions[] = {
    {"check", required_argument, nullptr, kOptionCheck},
    {"list-ports", no_argument, nullptr, kOptionListPorts},
    {"trace", no_argument, nullptr, kOptionTrace},
    {"help", no_argument, nullptr, kOptionHelp},
    {"version", no_argument, nullptr, kOptionVersion},
    {"report", no_argument, nullptr, kOptionReport},
    {"self-test", no_argument, nullptr, kOptionSelfTest},
    {"camera", required_argument, nullptr, kOptionCamera},
    {"json", no_argument, nullptr, kOptionJson},
    {nullptr, 0, nullptr, 0},
};
// clang-format on
// '+': the options end at the first word that is none (the program takes no
// operands, so that word is refused); ':': a missing argument is told apart
// from an unknown option, and getopt prints nothing itself.
const char kShortOptions[] = "+:hV";

// What an option's argument is, for "option '--check' needs a COM number".
const char* argumentName(int id)
{
    if (id == kOptionCamera)
        return "aux, cable or adapter";
    return id == kOptionCheck ? "a COM number" : "an argument";
}

// Qt's own options (its GUI, widgets and X11 platform's), handed to Qt as
// they came: "-style fusion" or "-style=fusion", "-platform offscreen"...
struct QtOption {
    const char* name;
    bool takesValue;
};
const QtOption kQtOptions[] = {
    {"platform", true},
    {"platformpluginpath", true},
    {"platformtheme", true},
    {"plugin", true},
    {"qwindowgeometry", true},
    {"geometry", true},
    {"qwindowicon", true},
    {"icon", true},
    {"qwindowtitle", true},
    {"title", true},
    {"session", true},
    {"display", true},
    {"name", true},
    {"visual", true},
    {"style", true},
    {"stylesheet", true},
    {"reverse", false},
    {"testability", false},
    {"widgetcount", false},
    {"dograb", false},
    {"nograb", false},
    {"qmljsdebugger", false},
};

// The Qt option a word names ("-style", "-style=fusion"); null for any other.
const QtOption* qtOptionNamed(const char* word)
{
    if (word[0] != '-' || word[1] == '-')
        return nullptr;
    const size_t length = std::strcspn(word + 1, "=");
    for (const QtOption& qt : kQtOptions)
        if (std::strlen(qt.name) == length && std::strncmp(word + 1, qt.name, length) == 0)
            return &qt;
    return nullptr;
}

// How many of our long options a "--NAME[=VALUE]" word may mean, as
// getopt_long reads it: 1 for the exact name or a prefix of only that one
// (*found set), 0 for none, more when the prefix is ambiguous.
int longOptionsMeant(const char* word, const option** found)
{
    const char* name = word + 2;
    const size_t length = std::strcspn(name, "=");
    int count = 0;
    for (const option* row = kOptions; row->name != nullptr; ++row) {
        if (std::strncmp(row->name, name, length) != 0)
            continue;
        *found = row;
        if (std::strlen(row->name) == length)
            return 1;
        ++count;
    }
    return count;
}

// What the command line asks for.
struct CommandLine {
    bool trace = false;
    bool list = false;
    unsigned checkPort = 0;
    bool report = false;
    ConsolePreflight preflight;
    // The program's name and Qt's options, for QApplication, which keeps
    // them (and its count) for its whole life.
    std::vector<char*> qtArguments;
    int qtArgumentCount = 0;
    // Those of Qt's options that choose its platform and display.
    QtPlatformOptions qtPlatform;
};

constexpr int kContinue = -1;

// Reads the command line into *line: kContinue, or the exit code once the
// help, the version or a bad command line has been answered.
int parseCommandLine(int argc, char** argv, CommandLine* line)
{
    // A program started with no argv[0] at all still has a name for Qt.
    static char ownName[] = "merlintest";
    char* name = argc > 0 && argv[0] != nullptr ? argv[0] : ownName;
    // Qt's options go to Qt, the rest to getopt_long. An option's argument
    // is its own whatever it looks like ("--check -style" names a port).
    std::vector<char*> ours = {name};
    line->qtArguments = {name};
    for (int i = 1; i < argc; ++i) {
        char* word = argv[i];
        if (std::strcmp(word, "--") == 0) {
            ours.insert(ours.end(), argv + i, argv + argc);
            break;
        }
        if (const QtOption* qt = qtOptionNamed(word)) {
            line->qtArguments.push_back(word);
            const char* value = std::strchr(word, '=');
            if (value != nullptr) {
                ++value;
            } else if (qt->takesValue) {
                if (i + 1 >= argc)
                    return usageError(std::string("option '") + word + "' needs a value");
                value = argv[++i];
                line->qtArguments.push_back(argv[i]);
            }
            if (std::strcmp(qt->name, "platform") == 0)
                line->qtPlatform.platform = value;
            else if (std::strcmp(qt->name, "display") == 0)
                line->qtPlatform.display = value;
            else if (std::strcmp(qt->name, "platformpluginpath") == 0)
                line->qtPlatform.pluginPath = value;
            continue;
        }
        ours.push_back(word);
        const option* meant = nullptr;
        if (word[0] == '-' && word[1] == '-' && longOptionsMeant(word, &meant) == 1 &&
            meant->has_arg == required_argument && std::strchr(word, '=') == nullptr && i + 1 < argc)
            ours.push_back(argv[++i]);
    }
    line->qtArgumentCount = static_cast<int>(line->qtArguments.size());
    line->qtArguments.push_back(nullptr);
    const int count = static_cast<int>(ours.size());
    ours.push_back(nullptr);

    // A fresh scan, also when a test runs the program twice in one process.
    optind = 0;
    opterr = 0;
    int id = 0;
    while ((id = getopt_long(count, ours.data(), kShortOptions, kOptions, nullptr)) != -1) {
        switch (id) {
        case kOptionCheck: {
            if (line->checkPort != 0)
                return usageError("option '--check' may be given only once");
            const std::string given = optarg;
            if (platform::isNetworkAddressText(given)) {
                platform::NetworkAddress address;
                std::string why;
                if (!platform::parseNetworkAddress(given, &address, &why))
                    return usageError("'" + given + "': " + why);
            }
            line->checkPort = parsePortNumber(optarg);
            if (line->checkPort == 0)
                return usageError("'" + given + "' is not a COM number from 1 to 256");
            break;
        }
        case kOptionListPorts:
            line->list = true;
            break;
        case kOptionTrace:
            line->trace = true;
            break;
        case kOptionReport:
            line->report = true;
            break;
        case kOptionSelfTest:
            line->preflight.selfTest = true;
            break;
        case kOptionJson:
            line->preflight.json = true;
            break;
        case kOptionCamera: {
            const std::string kind = optarg;
            if (kind == "aux")
                line->preflight.shutter = ShutterInterface::AuxOutput;
            else if (kind == "cable")
                line->preflight.shutter = ShutterInterface::RtsCable;
            else if (kind == "adapter")
                line->preflight.shutter = ShutterInterface::Adapter;
            else
                return usageError("'" + kind + "' is not a camera interface (aux, cable or adapter)");
            break;
        }
        case kOptionHelp:
            std::fputs(kUsage, stdout);
            return finishStandardOutput(kExitOk);
        case kOptionVersion:
            std::fputs(kVersion, stdout);
            return finishStandardOutput(kExitOk);
        case ':': {
            // getopt_long names the option by its value here, not its row.
            const option* missing = kOptions;
            while (missing->name != nullptr && missing->val != optopt)
                ++missing;
            if (missing->name == nullptr)
                return usageError(std::string("option '-") + static_cast<char>(optopt) + "' needs an argument");
            return usageError(std::string("option '--") + missing->name + "' needs " + argumentName(optopt));
        }
        default: {
            // A long option's word has been passed over; an unknown short
            // one is named by optopt (it may sit inside a group, as "-xh").
            const char* word = ours[optind - 1];
            const option* meant = nullptr;
            if (optopt > 0 && optopt < 128 && std::strchr(kShortOptions, optopt) == nullptr)
                return usageError(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
            if (word[0] == '-' && word[1] == '-' && longOptionsMeant(word, &meant) > 1)
                return usageError(std::string("option '") + word + "' is ambiguous");
            return usageError(std::string("unknown option '") + word + "'");
        }
        }
    }
    if (optind < count)
        return usageError(std::string("unexpected argument '") + ours[optind] + "'");
    if (line->list && line->checkPort != 0)
        return usageError("--list-ports and --check are two ways to run; choose one");
    const ConsolePreflight& preflight = line->preflight;
    if ((line->report || preflight.selfTest || preflight.json) && line->checkPort == 0)
        return usageError("--report, --self-test and --json go with --check N");
    if (preflight.json && !line->report && !preflight.selfTest)
        return usageError("--json goes with --report or --self-test");
    if (preflight.shutter != ShutterInterface::None && !preflight.selfTest)
        return usageError("--camera goes with --self-test");
    return kContinue;
}

}  // namespace

int runLinuxProgram(int argc, char** argv)
{
    programMilliseconds();
    CommandLine line;
    const int parsed = parseCommandLine(argc, argv, &line);
    if (parsed != kContinue)
        return parsed;
    const bool trace = line.trace;
    const unsigned checkPort = line.checkPort;
    if (line.list)
        return finishStandardOutput(listPorts());
    if (checkPort == 0) {
        const int code = prepareDialog(argc, argv, line.qtPlatform);
        if (code != kDialogHere)
            return code;
    }

    // Standard error's lines, and a check's statuses, each go through a
    // writer of their own.
    OutputWriter* statuses = nullptr;
    if (trace || checkPort != 0) {
        OutputWriter* errors = new OutputWriter(STDERR_FILENO, "trace lines", kTraceQueueLines, nullptr);
        if (!errors->start()) {
            const int error = errno;
            delete errors;
            return cannotStart(error);
        }
        errorWriter.store(errors);
    }
    if (checkPort != 0) {
        statuses = new OutputWriter(STDOUT_FILENO, "status lines", kStatusQueueLines, errorWriter.load());
        if (!statuses->start())
            return finishOutput(statuses, cannotStart(errno));
    }

    if (trace)
        startFrameTrace(traceToStandardError);
    int code = kExitOk;
    if (checkPort != 0) {
        code = checkMount(checkPort, statuses, line.report || line.preflight.selfTest ? &line.preflight : nullptr);
    } else {
        code = runDialog(line.qtArgumentCount, line.qtArguments.data());
        if (code == kDialogCannotStart)
            code = cannotStart(errno);
    }
    if (trace)
        stopFrameTrace();
    return finishOutput(statuses, code);
}
