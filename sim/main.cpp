// merlin-sim: an emulated motor controller on a pseudo-terminal, so that the
// tool can be tried and tested without a mount. A second pseudo-terminal
// carries a line-based control protocol that tests use to steer it.

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/network_port.h"
#include "sim/simulator.h"

namespace {

// Lateness a written piece may have before the pieces after it move back.
constexpr auto kLateSlack = std::chrono::microseconds(200);

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
    "  --model XX            model code that :e answers with, two hex digits (80)\n"
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
    "  latency <ms> | flood 0|1 | stall 0|1 | model <hex> | stuck <1|2> 0|1 |\n"
    "  reversed <1|2> 0|1 | runaway <1|2> 0|1 | log | clearlog | state | axis 1|2 |\n"
    "  say <text> | vanish | restore\n"
    "  'axis N' answers 'axisN position=<counts from zero> running=0|1 mode=<m>\n"
    "  reverse=0|1 rate=<period> initialised=0|1'; --log also writes each change\n"
    "  of an axis as 'ax <ms> axisN <what> position=<counts>'.\n"
    "  'vanish' closes the data port's pseudo-terminal, as an unplugged device\n"
    "  goes away; 'restore' makes a new one behind the same links.\n"
    "  'log' lists 'rx <ms> <frame>' and 'tx <ms> <reply>' with \\r, \\n and \\xHH;\n"
    "  'log us' the same in microseconds; 'time' answers\n"
    "  'time <us> <monotonic us>', the log's clock;\n"
    "  'say' writes its text to the data port as is (\\r, \\n, \\\\, \\xHH understood).\n";

constexpr int kHangupBackoffMs = 50;
// Pieces written to the network in one round: a send there never waits, so a
// flood gives the loop back now and then.
constexpr int kNetworkPiecesPerRound = 16;

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

struct Pty {
    int master = -1;
    int slave = -1;  // kept open so the pty survives clients coming and going
    std::string path;
};

void makeRaw(int fd)
{
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return;
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);  // TCSAFLUSH would drop bytes already queued
}

bool openPty(Pty* pty)
{
    pty->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (pty->master < 0 || grantpt(pty->master) != 0 || unlockpt(pty->master) != 0)
        return false;
    char name[PATH_MAX];
    if (ptsname_r(pty->master, name, sizeof name) != 0)
        return false;
    pty->path = name;
    pty->slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (pty->slave < 0)
        return false;
    makeRaw(pty->slave);
    makeRaw(pty->master);
    return true;
}

bool makeDirectories(const std::string& dir)
{
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/')
            continue;
        std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

struct Link {
    std::string path;
    const Pty* pty;
};

bool makeLink(const Link& link)
{
    size_t slash = link.path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !makeDirectories(link.path.substr(0, slash))) {
        return false;
    }
    unlink(link.path.c_str());  // a link left behind by an earlier run
    return symlink(link.pty->path.c_str(), link.path.c_str()) == 0;
}

// Only a link that still points at our pty is ours to remove.
void removeLink(const Link& link)
{
    char target[PATH_MAX];
    ssize_t n = readlink(link.path.c_str(), target, sizeof target - 1);
    if (n < 0)
        return;
    target[n] = 0;
    if (link.pty->path == target)
        unlink(link.path.c_str());
}

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

// A port that hung up is left alone for a moment instead of being polled
// again at once.
struct Port {
    Pty pty;
    sim::Clock::time_point quietUntil;
};

// Reads what is there; false when the port reported a hang-up or an error.
bool readPort(int fd, std::string* into)
{
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into->append(buffer, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
}

}  // namespace

int main(int argc, char** argv)
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

    Port data, control;
    std::vector<Link> links;
    sim::Settings settings;
    std::FILE* logFile = nullptr;

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

    std::vector<std::string> dataLinks, controlLinks;
    // The data port on the network, beside the pty, and where they listen.
    std::vector<std::unique_ptr<sim::NetworkPort>> network;
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
            network.push_back(std::make_unique<sim::NetworkPort>(option == kUdp ? sim::NetworkPort::Kind::Udp
                                                                                : sim::NetworkPort::Kind::Tcp));
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
            std::printf("merlin-sim %s\n", MERLINTEST_VERSION);
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
        if (words.empty() || !sim::applySetting(settings, words, &why)) {
            const struct option* given = kOptions;
            while (given->val != option)
                ++given;
            return fail(std::string("bad argument '") + optarg + "' for --" + given->name);
        }
    }
    if (optind < argc)
        return fail(std::string("unexpected argument '") + argv[optind] + "'");

    if (!openPty(&data.pty) || !openPty(&control.pty)) {
        return failed(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
    }
    for (const auto& path : dataLinks)
        links.push_back(Link{path, &data.pty});
    for (const auto& path : controlLinks)
        links.push_back(Link{path, &control.pty});

    // Signals are only taken inside ppoll, so none is lost between checks.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGHUP);
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    for (const auto& port : network) {
        std::string why;
        if (!port->listen(&why))
            return failed(why);
    }
    for (const Link& link : links) {
        if (!makeLink(link)) {
            int saved = errno;
            for (const Link& made : links)
                removeLink(made);
            return failed("cannot link " + link.path + ": " + std::strerror(saved));
        }
    }
    std::printf("merlin-sim: data port %s\n", data.pty.path.c_str());
    for (const auto& port : network)
        std::printf("merlin-sim: data port %s\n", port->address().c_str());
    std::printf("merlin-sim: control port %s\n", control.pty.path.c_str());
    for (const Link& link : links) {
        std::printf("merlin-sim: %s -> %s\n", link.path.c_str(), link.pty->path.c_str());
    }
    std::fflush(stdout);

    sim::Simulator simulator(settings, sim::Clock::now());
    simulator.setLogFile(logFile);
    std::string controlIn, controlOut;
    // Answers go back the way the latest bytes came: the pty (null) or a
    // network port.
    sim::NetworkPort* answerTo = nullptr;

    while (!stopRequested) {
        auto now = sim::Clock::now();
        simulator.advance(now);  // so the log shows a goto ending when it does
        if (simulator.takeFlushRequest()) {
            if (data.pty.slave >= 0)
                tcflush(data.pty.slave, TCIFLUSH);
            for (const auto& port : network)
                port->discardInput();
        }
        switch (simulator.takePortRequest()) {
        case sim::PortRequest::Vanish:
            if (data.pty.master >= 0) {
                close(data.pty.master);
                close(data.pty.slave);
                data.pty.master = data.pty.slave = -1;
                // Off the network as well, as an adapter switched off.
                for (const auto& port : network)
                    port->vanish();
            }
            break;
        case sim::PortRequest::Restore:
            if (data.pty.master < 0 && openPty(&data.pty)) {
                for (const Link& link : links) {
                    if (link.pty == &data.pty)
                        makeLink(link);
                }
                for (const auto& port : network)
                    port->restore();
            }
            break;
        case sim::PortRequest::None:
            break;
        }
        const bool dataPresent = data.pty.master >= 0;
        if (!dataPresent)
            simulator.output().clear();  // no device, no line to write on

        // Write what is due; a full pty makes us wait for room.
        bool dataBlocked = false;
        bool throttled = false;
        int networkPieces = 0;
        auto& output = simulator.output();
        for (;;) {
            if (dataPresent)
                simulator.topUpFlood(now);
            if (output.empty() || output.front().due > now)
                break;
            if (answerTo && ++networkPieces > kNetworkPiecesPerRound) {
                throttled = true;
                break;
            }
            sim::Chunk& chunk = output.front();
            ssize_t n = answerTo ? answerTo->send(chunk.bytes.data(), chunk.bytes.size())
                                 : write(data.pty.master, chunk.bytes.data(), chunk.bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                dataBlocked = true;
                break;
            }
            if (n >= 0 && size_t(n) < chunk.bytes.size()) {
                chunk.bytes.erase(0, size_t(n));
                continue;
            }
            // Written whole, or refused for good (no one to hear it).
            sim::Chunk done = std::move(chunk);
            output.pop_front();
            const auto writtenAt = sim::Clock::now();
            // A line never catches up: a piece that went out late (a busy
            // machine, a full pty) pushes the rest back by as much, so the
            // gaps between pieces are kept rather than sent in one burst.
            if (writtenAt > done.due + kLateSlack) {
                const auto late = writtenAt - done.due;
                for (sim::Chunk& next : output)
                    next.due += late;
            }
            simulator.written(done, writtenAt);
        }
        if (!controlOut.empty()) {
            ssize_t n = write(control.pty.master, controlOut.data(), controlOut.size());
            if (n > 0)
                controlOut.erase(0, size_t(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                controlOut.clear();
        }

        std::vector<pollfd> fds = {
            {data.pty.master, short((simulator.stalled() ? 0 : POLLIN) | (dataBlocked && !answerTo ? POLLOUT : 0)), 0},
            {control.pty.master, short(POLLIN | (controlOut.empty() ? 0 : POLLOUT)), 0},
        };
        for (const auto& port : network) {
            fds.resize(fds.size() + sim::NetworkPort::kPollEntries);
            port->pollFor(&fds[fds.size() - sim::NetworkPort::kPollEntries], !simulator.stalled(),
                          dataBlocked && answerTo == port.get());
        }
        auto wait = std::chrono::nanoseconds(std::chrono::seconds(1));
        if (!output.empty() && !dataBlocked)
            wait = std::min(wait, output.front().due - now);
        if (simulator.nextAxisEvent() != sim::Clock::time_point::max())
            wait = std::min(wait, std::chrono::nanoseconds(simulator.nextAxisEvent() - now));
        if (throttled)
            wait = std::min(wait, std::chrono::nanoseconds(std::chrono::milliseconds(1)));
        Port* ports[2] = {&data, &control};
        for (int i = 0; i < 2; ++i) {
            if (ports[i]->quietUntil > now) {
                fds[i].fd = -1;
                wait = std::min(wait, std::chrono::nanoseconds(ports[i]->quietUntil - now));
            }
        }
        if (wait.count() < 0)
            wait = wait.zero();
        timespec timeout = {time_t(wait.count() / 1000000000), long(wait.count() % 1000000000)};
        if (ppoll(fds.data(), fds.size(), &timeout, &waitMask) < 0)
            continue;  // a signal, most likely

        now = sim::Clock::now();
        std::string received;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            if (i == 0 && simulator.stalled())
                continue;
            std::string& into = i == 0 ? received : controlIn;
            if (!readPort(fds[i].fd, &into) || (fds[i].revents & (POLLHUP | POLLERR))) {
                ports[i]->quietUntil = now + std::chrono::milliseconds(kHangupBackoffMs);
            }
            if (i == 0 && !received.empty())
                answerTo = nullptr;
        }
        for (size_t i = 0; i < network.size(); ++i) {
            if (network[i]->take(&fds[2 + i * sim::NetworkPort::kPollEntries], &received))
                answerTo = network[i].get();
        }
        if (!received.empty())
            simulator.receive(received.data(), received.size(), now);
        for (size_t end; (end = controlIn.find('\n')) != std::string::npos;) {
            std::string line = controlIn.substr(0, end);
            controlIn.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.find_first_not_of(" \t") == std::string::npos)
                continue;
            controlOut += simulator.control(line, now);
        }
    }

    for (const Link& link : links)
        removeLink(link);
    if (logFile)
        std::fclose(logFile);
    return 0;
}
