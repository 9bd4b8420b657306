#include "sim/command_line.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

const char kVersionText[] = "merlin-sim " MERLINTEST_VERSION
                            "\n"
                            "Copyright (c) 2026 The MerlinTest developers\n"
                            "This is free software under the MIT License; there is NO WARRANTY, to the\n"
                            "extent permitted by law.\n";

const char kUsage[] =
    "usage: merlin-sim [options]\n"
    "\n"
    "Emulates the mount's motor controller on a pseudo-terminal (the data port)\n"
    "and takes commands on a second one (the control port). Prints both device\n"
    "paths on start; ends on SIGINT or SIGTERM and then removes its links.\n"
    "\n"
    "Ports:\n"
    "  --link PATH           symlink PATH to the data port (repeatable)\n"
    "  --control-link PATH   symlink PATH to the control port (repeatable)\n"
    "  --com N               link the data port as COM N:\n"
    "                        ${XDG_CONFIG_HOME:-$HOME/.config}/merlintest/ports/comN\n"
    "                        and, when WINEPREFIX is set, $WINEPREFIX/dosdevices/comN\n"
    "  --control-com M       link the control port as COM M, likewise\n"
    "  --log FILE            write each frame and reply to FILE as it happens\n"
    "  --udp ADDR:PORT       serve the data port over UDP too, answering the latest\n"
    "                        sender (port 0: the system chooses; printed at start)\n"
    "  --tcp ADDR:PORT       serve it over TCP too, one client at a time\n"
    "\n"
    "Behaviour at start and after a control 'reset':\n"
    "  --silent              answer nothing and ignore every frame\n"
    "  --error PREFIX=CODE   answer \"!CODE\" to frames starting with PREFIX\n"
    "                        (e.g. :a1=5), leaving the machine as it was (repeatable)\n"
    "  --echo                echo every frame before its reply\n"
    "  --split N             write replies in pieces of N bytes, 10 ms apart\n"
    "  --noise               write \"\\n#\\x7F\" before every reply\n"
    "  --overlong N          add N data characters (0123456789...) to every reply\n"
    "  --counts AXIS=VALUE   counts per revolution of axis 1 or 2 (default 1440000)\n"
    "  --model XX|KIND       model code that :e answers with: two hex digits, or the\n"
    "                        kind of mount: eq or equatorial (00, what a driver for\n"
    "                        equatorial mounts takes), altaz (80, the default),\n"
    "                        wifi-altaz (A5, an alt-az mount behind a WiFi adapter)\n"
    "  --pace                write at 9600 baud, about 1.04 ms a byte\n"
    "  --latency MS          wait MS milliseconds before each reply\n"
    "  --flood               write noise without end (at 9600 baud with --pace)\n"
    "  --stall               read nothing, so the port's queue fills and writes stop\n"
    "  --stuck AXIS          axis 1 or 2 runs as told (:f) but its position stays\n"
    "  --reversed AXIS       axis 1 or 2 turns against the direction :G names; a goto\n"
    "                        ends as far the other way\n"
    "  --runaway AXIS        axis 1 or 2 runs on after :K and :L (both answered =)\n"
    "  -h, --help            show this text and exit\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "Frames (\":\" letter channel data \"\\r\") and replies (\"=\" data \"\\r\"); channel 1 or\n"
    "2 is an axis, 3 both where shown; 24-bit values are six hex digits, low byte\n"
    "first; positions count from 800000 (hex), i.e. =000080 is 0:\n"
    "  :e<c>                 version and model in reading order, =031080\n"
    "  :a<c> :s<c>           counts per revolution, per worm revolution (=00F915)\n"
    "  :b<c> :g<c>           step timer Hz (=24F400, 62500), fast ratio (=10)\n"
    "  :D<c>                 sidereal period: timer ticks a count (=9C0E00)\n"
    "  :f<c>                 status, three digits: slew(1)|backwards(2)|fast(4),\n"
    "                        running(1), initialised(1); =101 at rest, =111 running\n"
    "  :j<c> / :E<c>XXXXXX   read / set the position (=, !2 while running)\n"
    "  :q<c>XXXXXX           extended inquiry, =000000\n"
    "  :F<c|3>               initialise: motion before it gets !4\n"
    "  :G<c><mode><bits>     mode 0 goto fast, 1 slew slow, 2 goto slow, 3 slew fast;\n"
    "                        bits: 1 backwards, 2 southern (!2 while running)\n"
    "  :I<c>XXXXXX           step period: a count per period ticks in a slow mode,\n"
    "                        16 counts in a fast one; a fast goto runs 10 deg/s\n"
    "  :H<c>XXXXXX / :S<c>XXXXXX  goto target: increment from the position at :J\n"
    "                        in the :G direction / absolute (!2 while running)\n"
    "  :M<c>XXXXXX :P<c>X :V<c>XX  brake point, guide rate, LED: taken, =\n"
    "  :J<c|3>               start: a slew runs until stopped, a goto to its target\n"
    "  :K<c|3> / :L<c|3>     stop: a fast axis slows to rest in 0.2 s / stop at once\n"
    "  :O1<0|1> / :o1        set the auxiliary output, = / read it, =<digit>\n"
    "  :X1<d> / :x1          set the adapter's line bits, = / read them, =<digit>\n"
    "  :T1<a><b>XXXX / :t1   start the self-timer in ms, = / read what is left,\n"
    "                        =XXXX low byte first\n"
    "  errors: !0 unknown letter, !1 wrong data length, !2 axis running,\n"
    "          !3 bad channel or data character, !4 not initialised\n"
    "\n"
    "Control port: one command a line, each answer ends with \"ok\" or \"error <why>\":\n"
    "  reset | silent 0|1 | error <prefix> <code> | error clear | echo 0|1 |\n"
    "  split <n> | noise 0|1 | overlong <n> | counts <1|2> <value> | pace 0|1 |\n"
    "  latency <ms> | flood 0|1 | stall 0|1 | model <xx|kind> | stuck <1|2> 0|1 |\n"
    "  reversed <1|2> 0|1 | runaway <1|2> 0|1 | log | clearlog | memory | state |\n"
    "  axis 1|2 | say <text> | vanish | restore | time\n"
    "  'axis N' answers 'axisN position=<counts from zero> running=0|1 mode=<m>\n"
    "  reverse=0|1 rate=<period> initialised=0|1'; --log also writes each change\n"
    "  of an axis as 'ax <ms> axisN <what> position=<counts>'.\n"
    "  'vanish' closes the data port's pseudo-terminal, as an unplugged device\n"
    "  goes away; 'restore' makes a new one behind the same links.\n"
    "  'log' lists 'rx <ms> <frame>' and 'tx <ms> <reply>' with \\r, \\n and \\xHH;\n"
    "  'log us' the same in microseconds; 'time' answers\n"
    "  'time <us> <monotonic us>', the log's clock;\n"
    "  'say' writes its text to the data port as is (\\r, \\n, \\\\, \\xHH understood).\n"
    "  'memory' answers 'memory output=<bytes> input=<bytes> record=<entries>\n"
    "  recordbytes=<bytes> dropped=<entries>': what waits to be written (at most\n"
    "  256 KiB; a client that reads nothing is then read no more), what waits to be\n"
    "  answered, and the record, which keeps the latest 65536 frames and replies\n"
    "  (8 MiB of their bytes at most).\n";

// The places where COM N is looked for, natively and under wine.
std::vector<std::string> comPaths(const char* number)
{
    std::vector<std::string> paths;
    // The tool's per-user link directory, as the XDG convention places it.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config && config[0] == '/') {
        paths.push_back(std::string(config) + "/merlintest/ports/com" + number);
    } else if (home && *home) {
        paths.push_back(std::string(home) + "/.config/merlintest/ports/com" + number);
    }
    if (const char* prefix = std::getenv("WINEPREFIX")) {
        if (*prefix)
            paths.push_back(std::string(prefix) + "/dosdevices/com" + number);
    }
    return paths;
}

bool isPortNumber(const char* text)
{
    char* end;
    long n = std::strtol(text, &end, 10);
    return *text && !*end && n >= 1 && n <= 256;
}

}  // namespace

int readCommandLine(int argc, char** argv, CommandLine* out)
{
    enum {
        kLink = 256,
        kControlLink,
        kCom,
        kControlCom,
        kLog,
        kSilent,
        kError,
        kEcho,
        kSplit,
        kNoise,
        kOverlong,
        kCounts,
        kPace,
        kLatency,
        kFlood,
        kStall,
        kModel,
        kStuck,
        kReversed,
        kRunaway,
        kUdp,
        kTcp,
        kHelp = 'h',
        kVersion = 'V'
    };
    static const option kOptions[] = {
        {"link", required_argument, nullptr, kLink},
        {"control-link", required_argument, nullptr, kControlLink},
        {"com", required_argument, nullptr, kCom},
        {"control-com", required_argument, nullptr, kControlCom},
        {"log", required_argument, nullptr, kLog},
        {"silent", no_argument, nullptr, kSilent},
        {"error", required_argument, nullptr, kError},
        {"echo", no_argument, nullptr, kEcho},
        {"split", required_argument, nullptr, kSplit},
        {"noise", no_argument, nullptr, kNoise},
        {"overlong", required_argument, nullptr, kOverlong},
        {"counts", required_argument, nullptr, kCounts},
        {"pace", no_argument, nullptr, kPace},
        {"latency", required_argument, nullptr, kLatency},
        {"flood", no_argument, nullptr, kFlood},
        {"stall", no_argument, nullptr, kStall},
        {"model", required_argument, nullptr, kModel},
        {"stuck", required_argument, nullptr, kStuck},
        {"reversed", required_argument, nullptr, kReversed},
        {"runaway", required_argument, nullptr, kRunaway},
        {"udp", required_argument, nullptr, kUdp},
        {"tcp", required_argument, nullptr, kTcp},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };

    // A bad command line: one line on what is wrong, and where to look.
    auto fail = [](const std::string& why) {
        std::fprintf(stderr, "merlin-sim: %s\nTry 'merlin-sim --help' for more information.\n", why.c_str());
        return 2;
    };
    // Something the machine refused once the command line was good.
    auto failed = [](const std::string& why) {
        std::fprintf(stderr, "merlin-sim: %s\n", why.c_str());
        return 1;
    };
    auto splitAt = [](const std::string& text, std::vector<std::string> words) {
        size_t eq = text.rfind('=');
        if (eq == std::string::npos)
            return std::vector<std::string>();
        words.push_back(text.substr(0, eq));
        words.push_back(text.substr(eq + 1));
        return words;
    };

    auto& dataLinks = out->dataLinks;
    auto& controlLinks = out->controlLinks;
    auto& network = out->network;
    auto& settings = out->settings;
    auto& logFile = out->logFile;
    int option;
    // The leading ':' makes a missing argument ':' and keeps getopt quiet.
    opterr = 0;
    while ((option = getopt_long(argc, argv, ":hV", kOptions, nullptr)) != -1) {
        std::vector<std::string> words;
        switch (option) {
        case kLink:
            dataLinks.push_back(optarg);
            continue;
        case kControlLink:
            controlLinks.push_back(optarg);
            continue;
        case kCom:
        case kControlCom: {
            if (!isPortNumber(optarg))
                return fail(std::string("'") + optarg + "' is not a COM number from 1 to 256");
            auto paths = comPaths(optarg);
            if (paths.empty())
                return fail("--com needs HOME or WINEPREFIX");
            auto& to = option == kCom ? dataLinks : controlLinks;
            to.insert(to.end(), paths.begin(), paths.end());
            continue;
        }
        case kUdp:
        case kTcp: {
            network.push_back(
                std::make_unique<NetworkPort>(option == kUdp ? NetworkPort::Kind::Udp : NetworkPort::Kind::Tcp));
            std::string why;
            if (!network.back()->setAddress(optarg, &why))
                return fail(why);
            continue;
        }
        case kLog:
            logFile = std::fopen(optarg, "w");
            if (!logFile)
                return failed(std::string("cannot write ") + optarg + ": " + std::strerror(errno));
            continue;
        case kSilent:
            words = {"silent", "1"};
            break;
        case kEcho:
            words = {"echo", "1"};
            break;
        case kNoise:
            words = {"noise", "1"};
            break;
        case kPace:
            words = {"pace", "1"};
            break;
        case kFlood:
            words = {"flood", "1"};
            break;
        case kStall:
            words = {"stall", "1"};
            break;
        case kSplit:
            words = {"split", optarg};
            break;
        case kOverlong:
            words = {"overlong", optarg};
            break;
        case kLatency:
            words = {"latency", optarg};
            break;
        case kError:
            words = splitAt(optarg, {"error"});
            break;
        case kCounts:
            words = splitAt(optarg, {"counts"});
            break;
        case kModel:
            words = {"model", optarg};
            break;
        case kStuck:
            words = {"stuck", optarg, "1"};
            break;
        case kReversed:
            words = {"reversed", optarg, "1"};
            break;
        case kRunaway:
            words = {"runaway", optarg, "1"};
            break;
        case kHelp:
            std::fputs(kUsage, stdout);
            return 0;
        case kVersion:
            std::fputs(kVersionText, stdout);
            return 0;
        case ':':
            return fail(std::string("option '") + argv[optind - 1] + "' needs an argument");
        default:
            // A short option is named by optopt (it may sit inside a group),
            // a long one only by the word it came in.
            if (optopt > 0 && optopt < 128)
                return fail(std::string("unknown option '-") + char(optopt) + "'");
            return fail(std::string("unknown option '") + argv[optind - 1] + "'");
        }
        std::string why;
        if (words.empty() || !applySetting(settings, words, &why)) {
            const struct option* given = kOptions;
            while (given->val != option)
                ++given;
            return fail(std::string("bad argument '") + optarg + "' for --" + given->name);
        }
    }
    if (optind < argc)
        return fail(std::string("unexpected argument '") + argv[optind] + "'");
    return -1;
}

}  // namespace sim
