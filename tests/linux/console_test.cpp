// The Linux program's console modes, run as the real `merlintest` process
// against the mount simulator on COM7: a check that reaches "Ready", an
// unknown, an erring, a silent and an absent mount, a port named by its path,
// the same simulator over UDP and TCP by address and by link, a TCP peer
// that leaves during the handshake, why a port did not open, Ctrl-C (also
// with its output stalled, and during a connection nobody answers), an unread
// trace during a flood, too few descriptors to start, write errors, bad
// arguments, and the port list with a link of the user's.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/port_names.h"
#include "tests/support/fake_system.h"
#include "tests/support/line_peer.h"
#include "tests/support/port_links.h"
#include "tests/support/sim_client.h"

namespace {

using Lines = std::vector<std::string>;

// A handshake is ~1.1 s; a silent mount is given up after 12 ticks (~12 s).
constexpr int kRunLimitMs = 60000;

struct ProgramRun {
    int exitCode = -1;  // 128 + N when ended by signal N
    std::string out;
    std::string err;
    uint64_t ms = 0;
};

// What differs from a plain run, where the test reads both streams at once.
struct RunSetup {
    // Standard output or error goes to this descriptor, which the test does
    // not read, instead of a pipe.
    int outFd = -1;
    int errFd = -1;
    // Standard error's pipe starts full and is read only once standard
    // output holds this.
    std::string readErrAfter;
    // RLIMIT_NOFILE of the program, when not 0.
    rlim_t fileLimit = 0;
    // What starts the program, as setpriv does; nothing when empty.
    std::vector<std::string> launcher;
    // Variables set for the program (unset where the value is null).
    std::vector<std::pair<std::string, const char*>> environment;
    // The program run, when not MERLINTEST_PATH.
    std::string program;
};

// A pipe that holds all it can, as one whose reader has stopped reading:
// the next write to it blocks. Returns its write end; *readEnd is kept open.
int fullPipe(int* readEnd)
{
    int ends[2];
    if (pipe(ends) != 0)
        return -1;
    const int flags = fcntl(ends[1], F_GETFL);
    fcntl(ends[1], F_SETFL, flags | O_NONBLOCK);
    const std::string filler(4096, '.');
    while (write(ends[1], filler.data(), filler.size()) > 0) {
    }
    // A single byte fills the last partial page.
    while (write(ends[1], ".", 1) > 0) {
    }
    fcntl(ends[1], F_SETFL, flags);
    *readEnd = ends[0];
    return ends[1];
}

// Runs merlintest with the arguments; `whileRunning` (when given) is called
// once the first line of standard output has come (at once when the test
// does not read it), with the process id.
ProgramRun runProgram(const std::vector<std::string>& arguments, const RunSetup& setup,
                      std::function<void(pid_t)> whileRunning = nullptr)
{
    ProgramRun run;
    int out[2], err[2];
    if (pipe(out) != 0)
        return run;
    if (setup.readErrAfter.empty() ? pipe(err) != 0 : (err[1] = fullPipe(&err[0])) < 0)
        return run;
    const uint64_t start = platform::nowMilliseconds();
    const pid_t child = fork();
    if (child == 0) {
        dup2(setup.outFd >= 0 ? setup.outFd : out[1], 1);
        dup2(setup.errFd >= 0 ? setup.errFd : err[1], 2);
        // Only the three standard streams, so that a descriptor limit means
        // the same whatever the test has open.
        close_range(3, ~0u, 0);
        if (setup.fileLimit != 0) {
            const rlimit limit = {setup.fileLimit, setup.fileLimit};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        for (const auto& variable : setup.environment) {
            if (variable.second != nullptr)
                setenv(variable.first.c_str(), variable.second, 1);
            else
                unsetenv(variable.first.c_str());
        }
        std::vector<std::string> words = setup.launcher;
        words.push_back(setup.program.empty() ? MERLINTEST_PATH : setup.program);
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        // A launcher may be named without its directory (the emulator).
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    bool outOpen = setup.outFd < 0, errOpen = setup.errFd < 0, called = false;
    if (whileRunning && !outOpen) {
        called = true;
        whileRunning(child);
    }
    auto readingErr = [&] { return errOpen && run.out.find(setup.readErrAfter) != std::string::npos; };
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 && platform::nowMilliseconds() - start < kRunLimitMs) {
        pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {readingErr() ? err[0] : -1, POLLIN, 0}};
        if (poll(fds, 2, 10) <= 0)
            continue;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            const ssize_t n = read(i == 0 ? out[0] : err[0], buffer, sizeof buffer);
            if (n <= 0)
                (i == 0 ? outOpen : errOpen) = false;
            else
                (i == 0 ? run.out : run.err).append(buffer, static_cast<size_t>(n));
        }
        if (whileRunning && !called && run.out.find('\n') != std::string::npos) {
            called = true;
            whileRunning(child);
        }
    }
    run.ms = platform::nowMilliseconds() - start;
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    // What the program wrote just before it ended.
    for (int i = 0; i < 2; ++i) {
        const int fd = i == 0 ? out[0] : err[0];
        if (!(i == 0 ? outOpen : readingErr()))
            continue;
        fcntl(fd, F_SETFL, O_NONBLOCK);
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
            (i == 0 ? run.out : run.err).append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    close(err[0]);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

ProgramRun runProgram(const std::vector<std::string>& arguments, std::function<void(pid_t)> whileRunning = nullptr)
{
    return runProgram(arguments, RunSetup(), whileRunning);
}

// The statuses a check printed, without their times; each line must be
// "<milliseconds> ms <text>".
Lines statuses(const std::string& out)
{
    Lines texts;
    const std::regex line(R"re( *\d+ ms (.+))re");
    size_t at = 0;
    for (size_t end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        std::smatch m;
        const std::string l = out.substr(at, end - at);
        EXPECT_TRUE(std::regex_match(l, m, line)) << l;
        texts.push_back(m[1]);
    }
    return texts;
}

bool portIsFree(unsigned port)
{
    platform::SerialPort* opened = platform::serialOpen(port);
    platform::serialClose(opened);
    return opened != nullptr;
}

class ConsoleCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.open()) << "simulator control line COM8: " << sim.lastError();
        ASSERT_TRUE(sim.reset()) << sim.lastError();
    }

    SimClient sim;
};

TEST_F(ConsoleCheck, ReachesReadyDisconnectsAndReleasesThePort)
{
    const ProgramRun run = runProgram({"--trace", "--check", "COM7"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(statuses(run.out),
              (Lines{"Opening port...", "Connecting... Please wait.", "Ready", "Connection closed"}));
    // --trace: the six frames and their replies on standard error.
    const std::regex frame(R"re( *\d+ ms > (:\w+\\r)\n)re");
    Lines sent;
    for (auto it = std::sregex_iterator(run.err.begin(), run.err.end(), frame); it != std::sregex_iterator(); ++it)
        sent.push_back((*it)[1]);
    EXPECT_EQ(sent, (Lines{":F1\\r", ":F2\\r", ":a1\\r", ":D1\\r", ":a2\\r", ":D2\\r"}));
    EXPECT_NE(run.err.find(" ms < =00F915\\r\n"), std::string::npos) << run.err;
    EXPECT_EQ(sim.frames().size(), 6u) << "nothing but the handshake";
    EXPECT_TRUE(portIsFree(7));
    // "7" means COM7 too, a long option may be shortened, "--" ends the
    // options; without --trace standard error stays empty.
    const ProgramRun plain = runProgram({"--chec", "7", "--"});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.err, "");
    // A device path is a port too: here the simulator's own pseudo-terminal.
    char mount[512] = {};
    ASSERT_GT(readlink(portLinkPath(7).c_str(), mount, sizeof mount - 1), 0) << "the fixture links COM7";
    // So is a relative path, as a shell completes it: the link from here.
    const std::string relative = std::filesystem::relative(portLinkPath(7)).string();
    for (const std::string& path : {std::string(mount), "./" + relative}) {
        const ProgramRun byPath = runProgram({"--check", path});
        EXPECT_EQ(byPath.exitCode, 0) << path << byPath.out << byPath.err;
        EXPECT_EQ(statuses(byPath.out),
                  (Lines{"Opening port...", "Connecting... Please wait.", "Ready", "Connection closed"}));
        EXPECT_TRUE(portIsFree(7));
    }
}

// The fixture's simulator over the network: COM11 links its UDP address,
// COM12 its TCP one. Each is checked by its address and by its link, and a
// name that does not resolve says so.
TEST_F(ConsoleCheck, ReachesReadyOverTheNetworkByAddressAndByLink)
{
    for (const unsigned port : {11u, 12u}) {
        char address[512] = {};
        ASSERT_GT(readlink(portLinkPath(port).c_str(), address, sizeof address - 1), 0)
            << "the fixture links COM" << port;
        for (const std::string& given : {std::string(address), "COM" + std::to_string(port)}) {
            SCOPED_TRACE(given);
            ASSERT_TRUE(sim.clearLog());
            const ProgramRun run = runProgram({"--check", given});
            EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
            EXPECT_EQ(statuses(run.out),
                      (Lines{"Opening port...", "Connecting... Please wait.", "Ready", "Connection closed"}));
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(sim.frames().size(), 6u);
        }
    }
    const ProgramRun unknown = runProgram({"--check", "tcp://merlintest.invalid:2000"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(statuses(unknown.out), (Lines{"Opening port...", "Error: Cannot open port"}));
    EXPECT_TRUE(
        std::regex_match(unknown.err, std::regex(R"re( *\d+ ms tcp://merlintest.invalid:2000: name )re"
                                                 R"re(merlintest.invalid (not found|not resolved within 2 s)\n)re")))
        << unknown.err;
    EXPECT_LT(unknown.ms, 5000u);
}

// A listening TCP socket of the test's own on 127.0.0.1, at a port the
// system chose.
struct LoopbackListener {
    explicit LoopbackListener(int backlog) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 || listen(fd, backlog) != 0)
            address.sin_port = 0;
    }
    ~LoopbackListener() { close(fd); }
    std::string where() const { return "127.0.0.1:" + std::to_string(ntohs(address.sin_port)); }
    int fd;
    sockaddr_in address = {};
};

// A serial server that takes the connection and, once the handshake's first
// frame has come, closes it or resets it: the check ends at once with the
// vanished device's "Communication error", and says why on standard error
// and in the trace.
TEST_F(ConsoleCheck, ATcpPeerThatLeavesDuringTheHandshakeEndsItAtOnce)
{
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "closed");
        LoopbackListener server(1);
        ASSERT_NE(server.address.sin_port, 0);
        std::thread peer([&] {
            const int client = accept(server.fd, nullptr, nullptr);
            if (client < 0)
                return;
            pollfd frame = {client, POLLIN, 0};
            poll(&frame, 1, 10000);
            if (reset) {
                const linger abort = {1, 0};
                setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            }
            close(client);
        });
        const std::string address = "tcp://" + server.where();
        const ProgramRun run = runProgram({"--trace", "--check", address});
        peer.join();
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_EQ(statuses(run.out),
                  (Lines{"Opening port...", "Connecting... Please wait.", "Communication error", "Connection closed"}));
        EXPECT_LT(run.ms, 5000u) << "well before the handshake's 12 s";
        const std::string why = address + ": connection closed by the peer";
        // The reason stamped as its status, and the trace's note.
        EXPECT_TRUE(std::regex_search(run.err, std::regex(R"re(\n +\d+ ms )re" + why + "\n"))) << run.err;
        EXPECT_TRUE(std::regex_search(run.err, std::regex(R"re(\n +\d+ ms ! )re" + why + "\n"))) << run.err;
    }
}

TEST_F(ConsoleCheck, UnknownErringSilentAndAbsentMountsFailWith1AndThePortClosed)
{
    ASSERT_TRUE(sim.setCounts(2, 700000));
    ProgramRun run = runProgram({"--check", "7"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(statuses(run.out),
              (Lines{"Opening port...", "Connecting... Please wait.", "Error: Unknown telescope mount."}));
    EXPECT_TRUE(portIsFree(7));

    // An error reply leaves the engine's port open: the check disconnects.
    ASSERT_TRUE(sim.reset());
    ASSERT_TRUE(sim.setError(":a1", "5"));
    run = runProgram({"--check", "7"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(statuses(run.out),
              (Lines{"Opening port...", "Connecting... Please wait.", "Communication error", "Connection closed"}));
    EXPECT_TRUE(portIsFree(7));

    ASSERT_TRUE(sim.reset());
    ASSERT_TRUE(sim.setSilent(true));
    run = runProgram({"--check", "7"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(statuses(run.out),
              (Lines{"Opening port...", "Connecting... Please wait.", "Error: Cannot connect to telescope mount."}));
    EXPECT_GE(run.ms, 11000u) << "after the handshake's twelve ticks";
    EXPECT_EQ(statuses(run.err), Lines{"no reply to :F1\\r after 0 answered frames; received no byte at all: "
                                       "wrong port, cable, power or baud rate"});
    EXPECT_TRUE(portIsFree(7));

    // COM200 has no device of its own and no link: it fails at once, and
    // says why beside the status.
    run = runProgram({"--check", "COM200"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(statuses(run.out), (Lines{"Opening port...", "Error: Cannot open port"}));
    EXPECT_EQ(statuses(run.err), Lines{"COM200 (" + portLinkPath(200) + "): no such device"});
    EXPECT_LT(run.ms, 5000u);
}

// Where both streams reach one terminal, as under script(1) or in an SSH
// session, the reason comes right after the status it explains, with the
// same stamp, however the writers' threads run.
TEST_F(ConsoleCheck, TheReasonFollowsItsStatusOnOneTerminal)
{
    const std::regex shown(R"re( *\d+ ms Opening port\.\.\.\n( *\d+ ms )Error: Cannot open port\n)re"
                           R"re(( *\d+ ms )COM200 \(.+\): no such device\n)re");
    for (int attempt = 0; attempt < 10; ++attempt) {
        SCOPED_TRACE(attempt);
        int master = -1, terminal = -1;
        ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
        termios raw;
        tcgetattr(terminal, &raw);
        cfmakeraw(&raw);
        tcsetattr(terminal, TCSANOW, &raw);
        RunSetup oneTerminal;
        oneTerminal.outFd = terminal;
        oneTerminal.errFd = terminal;
        const ProgramRun run = runProgram({"--check", "COM200"}, oneTerminal);
        std::string shownThere;
        fcntl(master, F_SETFL, O_NONBLOCK);
        char buffer[4096];
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
            shownThere.append(buffer, static_cast<size_t>(n));
        close(terminal);
        close(master);
        EXPECT_EQ(run.exitCode, 1);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(shownThere, m, shown)) << shownThere;
        EXPECT_EQ(m[1], m[2]);
    }
}

// A port that does not open says why on standard error, and in the trace:
// here a device that is no serial port, and a terminal the user may not
// open. Root opens any terminal, so as root the program runs as nobody.
TEST_F(ConsoleCheck, PortThatDoesNotOpenSaysWhy)
{
    ProgramRun run = runProgram({"--trace", "--check", "/dev/null"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(statuses(run.out), (Lines{"Opening port...", "Error: Cannot open port"}));
    // The trace's note, then the reason beside the status.
    EXPECT_EQ(statuses(run.err), (Lines{"! /dev/null: not a serial device", "/dev/null: not a serial device"}));

    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string device = ttyname(slave);
    const bool root = geteuid() == 0;
    const std::vector<std::string> unprivileged = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                                   "--clear-groups"};
    RunSetup asNobody;
    if (root) {
        asNobody.launcher = unprivileged;
        // The build may lie where nobody may not look (under /root, say).
        const std::string canRun =
            "/usr/bin/setpriv --reuid=nobody --regid=nogroup --clear-groups "
            "/usr/bin/test -x " +
            std::string(MERLINTEST_PATH);
        if (std::system(canRun.c_str()) != 0) {
            close(master);
            close(slave);
            GTEST_SKIP() << "an unprivileged user cannot run " << MERLINTEST_PATH;
        }
    }
    ASSERT_EQ(chmod(device.c_str(), root ? 0600 : 0), 0);
    run = runProgram({"--check", device}, asNobody);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(statuses(run.out), (Lines{"Opening port...", "Error: Cannot open port"}));
    EXPECT_EQ(statuses(run.err), Lines{device + ": permission denied"});
    // A device its group may open: joining the group is the cure.
    const group* dialout = getgrnam("dialout");
    if (root && dialout != nullptr) {
        ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid), 0);
        ASSERT_EQ(chmod(device.c_str(), 0660), 0);
        run = runProgram({"--check", device}, asNobody);
        EXPECT_EQ(statuses(run.err), Lines{device + ": permission denied: add yourself to the dialout group"
                                                    " (sudo usermod -aG dialout $USER), then log in again"});
    }
    close(slave);
    close(master);
}

TEST_F(ConsoleCheck, CtrlCEndsItWith130AndThePortClosed)
{
    ASSERT_TRUE(sim.setSilent(true));
    const ProgramRun run = runProgram({"--check", "7"}, [&](pid_t child) {
        EXPECT_TRUE(sim.waitForFrames(1, 10000));
        kill(child, SIGINT);
    });
    EXPECT_EQ(run.exitCode, 130) << run.out << run.err;
    EXPECT_LT(run.ms, 10000u) << "well before the handshake's time-out";
    EXPECT_EQ(statuses(run.out), (Lines{"Opening port...", "Connecting... Please wait."}));
    EXPECT_TRUE(portIsFree(7));

    // Its output stopped (Ctrl-S, or a pipe nobody reads): the statuses
    // wait, the check goes on, and Ctrl-C still ends it at once.
    ASSERT_TRUE(sim.clearLog());
    RunSetup stalled;
    int outReadEnd = -1;
    stalled.outFd = fullPipe(&outReadEnd);
    ASSERT_GE(stalled.outFd, 0);
    uint64_t interruptedAt = 0;
    const ProgramRun held = runProgram({"--check", "7"}, stalled, [&](pid_t child) {
        EXPECT_TRUE(sim.waitForFrames(1, 10000)) << "the statuses held the engine";
        interruptedAt = platform::nowMilliseconds();
        kill(child, SIGINT);
    });
    const uint64_t endedAfter = platform::nowMilliseconds() - interruptedAt;
    close(stalled.outFd);
    close(outReadEnd);
    EXPECT_EQ(held.exitCode, 130) << held.err;
    EXPECT_LT(endedAfter, 2000u);
    EXPECT_EQ(held.err, "");
    EXPECT_TRUE(portIsFree(7));

    // During a TCP connection that nobody answers (a listener whose backlog
    // is full, so that the connect waits out its 2 s): it ends at once, and
    // says nothing more.
    LoopbackListener server(0);
    ASSERT_NE(server.address.sin_port, 0);
    std::vector<int> fillers;
    for (bool full = false; !full && fillers.size() < 16;) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        connect(fillers.back(), reinterpret_cast<const sockaddr*>(&server.address), sizeof server.address);
        pollfd connected = {fillers.back(), POLLOUT, 0};
        full = poll(&connected, 1, 1000) == 0;
    }
    const ProgramRun unanswered = runProgram({"--check", "tcp://" + server.where()}, [&](pid_t child) {
        // "Opening port..." has come; the connect is under way.
        platform::sleepMilliseconds(300);
        interruptedAt = platform::nowMilliseconds();
        kill(child, SIGINT);
    });
    const uint64_t connectEndedAfter = platform::nowMilliseconds() - interruptedAt;
    for (const int filler : fillers)
        close(filler);
    EXPECT_EQ(unanswered.exitCode, 130) << unanswered.out << unanswered.err;
    EXPECT_LT(connectEndedAfter, 1000u);
    EXPECT_EQ(statuses(unanswered.out), Lines{"Opening port..."});
    EXPECT_EQ(unanswered.err, "");
}

// A handshake that times out says which frame went unanswered, what came for
// it and the likely cause, on standard error and in the trace. The test plays
// the mount on the null-modem pair (the program on COM5, the test on COM6):
// a firmware that answers three frames and then "!01" with no CR, and a
// half-duplex cable that only echoes.
TEST_F(ConsoleCheck, AHandshakeTimeOutSaysWhichFrameWentUnansweredAndWhy)
{
    struct Case {
        const char* name;
        Lines replies;  // to the frames in order; "" for an echo
        std::string line;
    };
    const Case cases[] = {
        {"bytes but no CR",
         {"=\r", "=\r", "=00F915\r", "!01"},
         "no reply to :D1\\r after 3 answered frames; received !01 with no CR: not this protocol, or a firmware in "
         "another mode"},
        {"an echo",
         {""},
         "no reply to :F1\\r after 0 answered frames; received :F1\\r, an echo of our frame: a half-duplex cable (or "
         "an adapter that echoes), nothing answering"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinePeer mount;
        ASSERT_TRUE(mount.open(6)) << "COM6, the null-modem end";
        std::thread player([&] {
            for (const std::string& reply : c.replies) {
                const LinePeer::Frames frame = mount.readFrames(1);
                if (frame.empty())
                    return;
                mount.write(reply.empty() ? frame[0] : reply);
            }
        });
        const ProgramRun run = runProgram({"--trace", "--check", "5"});
        player.join();
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(statuses(run.out), (Lines{"Opening port...", "Connecting... Please wait.",
                                            "Error: Cannot connect to telescope mount."}));
        EXPECT_NE(run.err.find(" ms ! " + c.line + "\n"), std::string::npos) << run.err;
        // Stamped as its status, apart from the trace's note.
        EXPECT_NE(run.err.find(" ms " + c.line + "\n"), std::string::npos) << run.err;
    }
}

// The figures are read after "Ready", one line each with its raw reply; a
// command the controller refuses is "not answered" and fails nothing. As
// JSON the same is one document.
TEST_F(ConsoleCheck, ReportPrintsTheMountsFiguresAndARefusalFailsNothing)
{
    ASSERT_TRUE(sim.setError(":g1", "0"));
    const ProgramRun run = runProgram({"--check", "7", "--report"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Ready\n"), std::string::npos) << run.out;
    const std::regex counts(R"re(\naxis 2 +counts per revolution +1440000 +:a2\\r -> =00F915\\r\n)re");
    EXPECT_TRUE(std::regex_search(run.out, counts)) << run.out;
    const std::regex refused(R"re(\naxis 1 +high-speed ratio +not answered +:g1\\r -> !0\\r\n)re");
    EXPECT_TRUE(std::regex_search(run.out, refused)) << run.out;
    EXPECT_NE(run.out.find("\nreport: 12 of 13 figures answered\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(portIsFree(7));

    const ProgramRun json = runProgram({"--check", "7", "--report", "--json"});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json.out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << json.out;
    const QJsonArray figures = document.object()["figures"].toArray();
    ASSERT_EQ(figures.size(), 13);
    EXPECT_EQ(figures[0].toObject()["key"].toString(), "firmware");
    EXPECT_EQ(figures[0].toObject()["reply"].toString(), "=031080\r");
    const QJsonObject ratio = figures[3].toObject();
    EXPECT_EQ(ratio["key"].toString(), "high_speed_ratio");
    EXPECT_FALSE(ratio["answered"].toBool());
    EXPECT_TRUE(document.object()["passed"].toBool());
    // The check's statuses leave standard output to the document.
    EXPECT_NE(json.err.find("Ready\n"), std::string::npos) << json.err;
}

// The self-test says first that the mount will move, gives a line a step
// and exits 0 only when all passed; --json gives the same as one document.
// A refused :e fails its step and the exit; the axes are still tried.
TEST_F(ConsoleCheck, SelfTestGivesALineAStepAndItsExitSaysWhetherAllPassed)
{
    ProgramRun run = runProgram({"--check", "7", "--self-test", "--camera", "adapter"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.err.find("merlintest: The mount will move: each axis 0.15 deg each way"), std::string::npos)
        << run.err;
    for (const char* step :
         {"controller", "axis 1 right", "axis 1 left", "axis 2 up", "axis 2 down", "stays stopped", "shutter"})
        EXPECT_TRUE(std::regex_search(run.out, std::regex(std::string("\nPASS  ") + step + " +\\S"))) << step << "\n"
                                                                                                      << run.out;
    EXPECT_NE(run.out.find("\nself-test PASSED: 7 of 7 steps\n"), std::string::npos) << run.out;
    SimClient::Axis axis;
    ASSERT_TRUE(sim.axis(1, &axis));
    EXPECT_FALSE(axis.running);
    // Within the self-test's bound of 0.5 deg (2000 counts) of where it began.
    EXPECT_LT(std::abs(axis.position), 2000);

    ASSERT_TRUE(sim.setError(":e1", "5"));
    run = runProgram({"--check", "7", "--self-test", "--json"});
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(run.out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << run.out;
    const QJsonArray steps = document.object()["steps"].toArray();
    ASSERT_EQ(steps.size(), 6) << run.out;
    EXPECT_EQ(steps[0].toObject()["name"].toString(), "controller");
    EXPECT_FALSE(steps[0].toObject()["passed"].toBool());
    EXPECT_EQ(steps[0].toObject()["detail"].toString(),
              "the controller did not say its firmware: :e1\\r answered !5\\r (refused)");
    EXPECT_TRUE(steps[1].toObject()["passed"].toBool()) << run.out;
    EXPECT_FALSE(document.object()["passed"].toBool());
    EXPECT_TRUE(portIsFree(7));
}

// Ctrl-C in the middle of a jog: both axes are stopped before the program
// ends with 130, and the simulator finds them at rest.
TEST_F(ConsoleCheck, CtrlCDuringTheSelfTestStopsBothAxes)
{
    const ProgramRun run = runProgram({"--check", "7", "--self-test"}, [&](pid_t child) {
        SimClient::Axis axis;
        const uint64_t deadline = platform::nowMilliseconds() + 10000;
        while (sim.axis(1, &axis) && !axis.running && platform::nowMilliseconds() < deadline)
            platform::sleepMilliseconds(5);
        EXPECT_TRUE(axis.running) << "axis 1 never jogged";
        kill(child, SIGINT);
    });
    EXPECT_EQ(run.exitCode, 130) << run.out << run.err;
    for (int number : {1, 2}) {
        SimClient::Axis axis;
        ASSERT_TRUE(sim.axis(number, &axis));
        EXPECT_FALSE(axis.running) << "axis " << number;
    }
    const std::vector<std::string> frames = sim.frames();
    const auto jog = std::find(frames.begin(), frames.end(), ":J1\r");
    ASSERT_NE(jog, frames.end());
    EXPECT_NE(std::find(jog, frames.end(), ":K2\r"), frames.end()) << "axis 2 stopped too";
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\nFAIL  axis [12] [a-z]+ +stopped on request\n"))) << run.out;
    EXPECT_TRUE(portIsFree(7));
}

// --trace with standard error unread during a flood of noise: the trace
// lines that find no room are dropped and counted, and the check runs on as
// if nobody traced it.
TEST_F(ConsoleCheck, AnUnreadTraceNeverHoldsTheCheck)
{
    ASSERT_TRUE(sim.setFlood(true));
    RunSetup unread;
    int errReadEnd = -1;
    unread.errFd = fullPipe(&errReadEnd);
    ASSERT_GE(unread.errFd, 0);
    const ProgramRun run = runProgram({"--trace", "--check", "7"}, unread);
    close(unread.errFd);
    close(errReadEnd);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(statuses(run.out),
              (Lines{"Opening port...", "Connecting... Please wait.", "Ready", "Connection closed"}));
    EXPECT_LT(run.ms, 10000u);
    EXPECT_TRUE(portIsFree(7));

    // Read from "Connection closed" on, the writer catches up and says how
    // many lines it dropped: a burst of 600 short lines during the handshake
    // (slowed down so that the burst comes first) is more than its queue
    // holds, however slowly a flood would come.
    ASSERT_TRUE(sim.reset());
    ASSERT_TRUE(sim.setLatency(200));
    RunSetup late;
    late.readErrAfter = "Connection closed";
    std::string burst;
    for (int i = 0; i < 600; ++i)
        burst += "#\r";
    const ProgramRun caughtUp = runProgram({"--trace", "--check", "7"}, late, [&](pid_t) {
        EXPECT_TRUE(sim.waitForFrames(1, 10000));
        EXPECT_TRUE(sim.say(burst));
    });
    EXPECT_EQ(caughtUp.exitCode, 0) << caughtUp.out;
    EXPECT_TRUE(std::regex_search(caughtUp.err, std::regex("merlintest: [1-9]\\d* trace lines dropped\n")))
        << caughtUp.err.substr(caughtUp.err.size() > 400 ? caughtUp.err.size() - 400 : 0);
}

// UBSan, built in with ASan here, checks the type of each polymorphic
// object it has not seen by probing memory through a pipe of its own: with
// every descriptor taken the probe fails, and it stops the program with 1
// and a bad type where there is none. The other builds check the line.
bool sanitizerLackedDescriptors(const std::string& err)
{
#ifdef __SANITIZE_ADDRESS__
    return err.find("runtime error: member access within address") != std::string::npos &&
           err.find("invalid vptr") != std::string::npos;
#else
    (void)err;
    return false;
#endif
}

// Too few descriptors for the pipes, events and threads of the start: one
// line and exit 1, at once, the port never opened.
TEST_F(ConsoleCheck, TooFewDescriptorsToStartSaySoAndExitWith1)
{
#ifdef MERLINTEST_EMULATED
    GTEST_SKIP() << "the limit would fall on the emulator and its wrapper, not on the program";
#endif
    for (rlim_t limit = 4; limit <= 12; ++limit) {
        SCOPED_TRACE(limit);
        RunSetup setup;
        setup.fileLimit = limit;
        const ProgramRun run = runProgram({"--check", "7"}, setup);
        EXPECT_EQ(run.exitCode, 1);
        if (!sanitizerLackedDescriptors(run.err)) {
            EXPECT_EQ(run.err, "merlintest: cannot start: Too many open files\n");
        }
        EXPECT_EQ(run.out, "");
        EXPECT_LT(run.ms, 5000u);
    }
    EXPECT_TRUE(sim.frames().empty());
}

// A check whose statuses cannot be written still runs to its end and closes
// the port; the failed write then makes it fail.
TEST_F(ConsoleCheck, AFullStandardOutputFailsTheCheckAfterItsEnd)
{
    RunSetup full;
    full.outFd = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full.outFd, 0);
    const ProgramRun run = runProgram({"--check", "7"}, full);
    close(full.outFd);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "merlintest: write error: No space left on device\n");
    EXPECT_EQ(sim.frames().size(), 6u) << "the whole handshake";
    EXPECT_TRUE(portIsFree(7));
}

TEST(ConsoleArguments, HelpAndVersionExitWith0AndBadArgumentsWith2)
{
    for (const char* version : {"--version", "-V", "--vers"}) {
        const ProgramRun run = runProgram({version});
        EXPECT_EQ(run.exitCode, 0) << version;
        EXPECT_EQ(run.out,
                  "merlintest 1.0\n"
                  "Copyright (c) 2026 The MerlinTest developers\n"
                  "This is free software under the MIT License; there is NO WARRANTY, to the\n"
                  "extent permitted by law.\n")
            << version;
    }
    for (const char* option : {"--help", "-h"}) {
        const ProgramRun help = runProgram({option});
        EXPECT_EQ(help.exitCode, 0) << option;
        EXPECT_EQ(help.out.find("usage: merlintest"), 0u) << option;
        // Fits a terminal of 80 columns and names every exit status.
        size_t at = 0;
        for (size_t end; (end = help.out.find('\n', at)) != std::string::npos; at = end + 1)
            EXPECT_LE(end - at, 80u) << help.out.substr(at, end - at);
        for (const char* status : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  130 ", "\n  143 "})
            EXPECT_NE(help.out.find(status), std::string::npos) << status;
    }
    // --check=N is --check N: COM999 is refused either way, before any port.
    EXPECT_EQ(runProgram({"--check=999"}).err, runProgram({"--check", "999"}).err);

    const std::string tryHelp = "Try 'merlintest --help' for more information.\n";
    const struct {
        std::vector<std::string> arguments;
        std::string problem;
    } cases[] = {
        {{"--check"}, "option '--check' needs a COM number"},
        {{"--check", "0"}, "'0' is not a COM number from 1 to 256"},
        {{"--check=257"}, "'257' is not a COM number from 1 to 256"},
        {{"--check", "COM"}, "'COM' is not a COM number from 1 to 256"},
        {{"--check", "COMx"}, "'COMx' is not a COM number from 1 to 256"},
        {{"--check=7x"}, "'7x' is not a COM number from 1 to 256"},
        {{"--check="}, "'' is not a COM number from 1 to 256"},
        {{"--check", "-3"}, "'-3' is not a COM number from 1 to 256"},
        {{"--check", "7", "--check", "8"}, "option '--check' may be given only once"},
        {{"--check=7", "--check=7"}, "option '--check' may be given only once"},
        {{"--check", "7", "--list-ports"}, "--list-ports and --check are two ways to run; choose one"},
        {{"--self-test"}, "--report, --self-test and --json go with --check N"},
        {{"--check", "7", "--json"}, "--json goes with --report or --self-test"},
        {{"--check", "7", "--report", "--camera", "aux"}, "--camera goes with --self-test"},
        {{"--check", "7", "--self-test", "--camera=flash"},
         "'flash' is not a camera interface (aux, cable or adapter)"},
        {{"--check", "7", "--self-test", "--camera"}, "option '--camera' needs aux, cable or adapter"},
        {{"--list", "--ch=7"}, "--list-ports and --check are two ways to run; choose one"},
        {{"--ch"}, "option '--check' needs a COM number"},
        {{"--trace", "--check"}, "option '--check' needs a COM number"},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--lists"}, "unknown option '--lists'"},
        {{"-x"}, "unknown option '-x'"},
        {{"--trace", "-xh"}, "unknown option '-x'"},
        {{"--trace=1"}, "unknown option '--trace=1'"},
        {{"--help=1"}, "unknown option '--help=1'"},
        {{"--style", "fusion"}, "unknown option '--style'"},
        {{"-stylo"}, "unknown option '-s'"},
        {{"-style"}, "option '-style' needs a value"},
        {{"--trace", "-platform"}, "option '-platform' needs a value"},
        {{"extra"}, "unexpected argument 'extra'"},
        {{"--", "--trace"}, "unexpected argument '--trace'"},
        {{"--trace", "extra", "--check", "7"}, "unexpected argument 'extra'"},
    };
    for (const auto& c : cases) {
        const ProgramRun run = runProgram(c.arguments);
        EXPECT_EQ(run.exitCode, 2) << c.problem;
        EXPECT_EQ(run.err, "merlintest: " + c.problem + "\n" + tryHelp);
        EXPECT_EQ(run.out, "");
    }
    // A malformed network address is a bad command line too, refused with
    // its reason before any port; a plain COM number after "--check" is not
    // taken for Qt's option, whatever it looks like.
    for (const char* address : {"udp://", "tcp://127.0.0.1", "udp://127.0.0.1:65536", "tcp://127.0.0.1:0",
                                "udp://127.0.0.1:-1", "ftp://x", "tcp://:2000"}) {
        const ProgramRun run = runProgram({"--check", address});
        EXPECT_EQ(run.exitCode, 2) << address << ": " << run.err;
        EXPECT_EQ(run.err.find("merlintest: '" + std::string(address) + "': "), 0u) << run.err;
        EXPECT_NE(run.err.find("\n" + tryHelp), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << run.err;
        EXPECT_EQ(run.out, "");
    }
    const ProgramRun styled = runProgram({"--check", "-style"});
    EXPECT_EQ(styled.err, "merlintest: '-style' is not a COM number from 1 to 256\n" + tryHelp);
}

// A display number no X server serves here.
std::string absentXDisplay()
{
    for (int number = 471;; ++number)
        if (access(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), F_OK) != 0)
            return ":" + std::to_string(number);
}

// Whether Qt's Wayland platform plugin is installed where Debian puts it.
bool waylandPluginInstalled()
{
    for (const char* triplet : {"x86_64-linux-gnu", "aarch64-linux-gnu"})
        if (access(("/usr/lib/" + std::string(triplet) + "/qt6/plugins/platforms/libqwayland-generic.so").c_str(),
                   F_OK) == 0)
            return true;
    return false;
}

// A Unix socket that takes connections, as a compositor's does, at `path`;
// its descriptor.
int listeningSocket(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0)
        return -1;
    return fd;
}

// Where the dialog cannot come up, one plain line naming the display and
// the way without one, and exit 1, instead of Qt's abort: no display at
// all, an X display nobody serves (named by DISPLAY or by Qt's -display),
// a Wayland session without Qt's Wayland plugin, a platform Qt lacks.
TEST(ConsoleArguments, WithoutADisplayTheDialogSaysSoAndExitsWith1)
{
    const std::string deadX = absentXDisplay();
    char runtime[] = "/tmp/merlintest-wayland-XXXXXX";
    ASSERT_NE(mkdtemp(runtime), nullptr);
    const std::string compositor = std::string(runtime) + "/wayland-7";
    const int listening = listeningSocket(compositor);
    ASSERT_GE(listening, 0) << compositor;
    const char* const unset = nullptr;
    const std::string without = "; without a desktop use merlintest --check N\n";
    auto noWaylandPlugin = [&](const std::string& name) {
        return "merlintest: cannot open the Wayland display " + name +
               ": Qt's Wayland plugin is missing (install qt6-wayland)" + without;
    };
    const bool waylandPlugin = waylandPluginInstalled();
    const struct {
        std::vector<std::string> arguments;
        std::vector<std::pair<std::string, const char*>> environment;
        std::string problem;
    } cases[] = {
        {{}, {}, "merlintest: cannot open a display" + without},
        {{"--trace"}, {{"QT_QPA_PLATFORM", "xcb"}}, "merlintest: cannot open a display" + without},
        {{}, {{"DISPLAY", deadX.c_str()}}, "merlintest: cannot open the display " + deadX + without},
        {{"-display", deadX}, {}, "merlintest: cannot open the display " + deadX + without},
        {{"-platform", "xcb"},
         {{"DISPLAY", deadX.c_str()}, {"WAYLAND_DISPLAY", "wayland-7"}, {"XDG_RUNTIME_DIR", runtime}},
         "merlintest: cannot open the display " + deadX + without},
        {{"-platform", "nonesuch"}, {}, "merlintest: Qt has no platform plugin 'nonesuch'" + without},
        // Qt tries Wayland, then X11: neither here.
        {{},
         {{"WAYLAND_DISPLAY", "wayland-7"}, {"XDG_RUNTIME_DIR", runtime}, {"DISPLAY", deadX.c_str()}},
         waylandPlugin ? "" : noWaylandPlugin("wayland-7")},
        {{}, {{"WAYLAND_DISPLAY", compositor.c_str()}}, waylandPlugin ? "" : noWaylandPlugin(compositor)},
        {{},
         {{"XDG_SESSION_TYPE", "wayland"}, {"QT_QPA_PLATFORM", "wayland"}, {"XDG_RUNTIME_DIR", runtime}},
         waylandPlugin ? "merlintest: cannot open the Wayland display wayland-0" + without
                       : noWaylandPlugin("wayland-0")},
    };
    for (const auto& c : cases) {
        // A socket that is no compositor does not answer Qt's Wayland plugin.
        if (c.problem.empty())
            continue;
        SCOPED_TRACE(c.problem);
        RunSetup setup;
        setup.environment = {{"DISPLAY", unset},
                             {"WAYLAND_DISPLAY", unset},
                             {"QT_QPA_PLATFORM", unset},
                             {"XDG_SESSION_TYPE", unset},
                             {"XDG_RUNTIME_DIR", unset}};
        setup.environment.insert(setup.environment.end(), c.environment.begin(), c.environment.end());
        const ProgramRun run = runProgram(c.arguments, setup);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, c.problem);
        EXPECT_EQ(run.out, "");
        EXPECT_LT(run.ms, 5000u);
    }
    close(listening);
    unlink(compositor.c_str());
    rmdir(runtime);
}

// The console build links no Qt, so a board without a desktop installs none;
// the dialog is the desktop build's, and without it the program says which
// package has it.
TEST(ConsoleArguments, TheConsoleBuildLinksNoQtAndSaysWhereTheDialogIs)
{
    FILE* pipe = popen("readelf -d '" MERLINTEST_BINARY "'", "r");
    ASSERT_NE(pipe, nullptr);
    std::string dynamic;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        dynamic.append(buffer, n);
    ASSERT_EQ(pclose(pipe), 0) << dynamic;
    EXPECT_NE(dynamic.find("(NEEDED)"), std::string::npos) << dynamic;
    EXPECT_EQ(dynamic.find("libQt"), std::string::npos) << dynamic;

    // Installed alone: bin/merlintest with no libexec/merlintest beside it.
    char directory[] = "/tmp/merlin-console-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string bin = std::string(directory) + "/bin";
    const std::string alone = bin + "/merlintest";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    std::filesystem::copy_file(MERLINTEST_BINARY, alone);
    std::filesystem::permissions(alone, std::filesystem::perms::owner_all);
    RunSetup setup;
    setup.program = alone;
#ifdef MERLINTEST_EMULATED
    std::istringstream emulator(MERLINTEST_EMULATOR);
    for (std::string word; emulator >> word;)
        setup.launcher.push_back(word);
#endif
    const ProgramRun dialog = runProgram({"--trace"}, setup);
    const ProgramRun version = runProgram({"--version"}, setup);
    std::filesystem::remove_all(directory);
    EXPECT_EQ(dialog.exitCode, 1);
    EXPECT_EQ(dialog.err,
              "merlintest: the dialog is not installed: install the package merlintest-desktop,\n"
              "or without a desktop use merlintest --check N\n");
    EXPECT_EQ(dialog.out, "");
    EXPECT_EQ(version.out.rfind("merlintest 1.0\n", 0), 0u) << "the console modes need nothing beside it";
}

TEST(ConsoleArguments, AFailedWriteToStandardOutputExitsWith1)
{
    RunSetup full;
    full.outFd = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full.outFd, 0);
    for (const char* option : {"--help", "--version", "--list-ports"}) {
        const ProgramRun run = runProgram({option}, full);
        EXPECT_EQ(run.exitCode, 1) << option;
        EXPECT_EQ(run.err, "merlintest: write error: No space left on device\n") << option;
    }
    close(full.outFd);
}

// One line per COM number whose device exists, the fixed table's and the
// links alike: "COMn", the device (a link by where it points), its
// /dev/serial/by-id name and its product, tab-separated; here a USB cable of a
// tree of the test's own stands behind a link.
TEST(ConsoleListPorts, ListsEachExistingDeviceWithALinksTargetItsByIdNameAndProduct)
{
    FakeSystem system;
    system.addUsbDevice("ttyUSB0", "1-2", "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", "FTDI", "FT232R USB UART");
    // Strings a device chose: bytes that are no text, a tab, and more
    // characters than a USB string holds.
    std::string wide;
    for (int i = 0; i < 130; ++i)
        wide += "\xe8\xaa\x9e";
    system.addUsbDevice("ttyUSB1", "1-3", "", "\xff\xfe", "Odd\tCable");
    system.addUsbDevice("ttyUSB2", "1-4", "", "", wide);
    if (!system.devicesAreTerminals())
        GTEST_SKIP() << "a device node of a terminal needs root";
    char mount[512] = {};
    ASSERT_GT(readlink(portLinkPath(7).c_str(), mount, sizeof mount - 1), 0) << "the fixture links COM7";
    const std::string link = portLinkPath(150);
    unlink(link.c_str());
    ASSERT_EQ(symlink(mount, link.c_str()), 0);
    const std::string gone = portLinkPath(151);
    unlink(gone.c_str());
    ASSERT_EQ(symlink("/dev/merlintest-gone", gone.c_str()), 0);
    const std::string cable = portLinkPath(152);
    const std::string cableDevice = system.root() + "/dev/ttyUSB0";
    const std::vector<unsigned> cables = {152, 153, 154};
    for (unsigned port : cables) {
        unlink(portLinkPath(port).c_str());
        const std::string device = system.root() + "/dev/ttyUSB" + std::to_string(port - 152);
        ASSERT_EQ(symlink(device.c_str(), portLinkPath(port).c_str()), 0);
    }
    ProgramRun run;
    {
        UseSystemRoot use(system.root());
        run = runProgram({"--list-ports"});
    }
    unlink(link.c_str());
    unlink(gone.c_str());
    for (unsigned port : cables)
        unlink(portLinkPath(port).c_str());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    const std::regex line(R"re(COM(\d+)\t(/[^\t]+|(udp|tcp)://[^\t]+)\t([^\t]*)\t([^\t]*))re");
    Lines entries;
    size_t at = 0;
    for (size_t end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string l = run.out.substr(at, end - at);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        entries.push_back(l);
    }
    auto listed = [&](const std::string& entry) {
        return std::find(entries.begin(), entries.end(), entry) != entries.end();
    };
    EXPECT_TRUE(listed("COM7\t" + std::string(mount) + "\t\t")) << run.out;
    EXPECT_TRUE(listed("COM150\t" + std::string(mount) + "\t\t")) << run.out;
    EXPECT_TRUE(listed("COM152\t" + cableDevice +
                       "\t/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\tFTDI FT232R USB UART"))
        << run.out;
    EXPECT_EQ(run.out.find("COM151\t"), std::string::npos) << "a link to nothing is no device";
    // Escaped as the other fields are; a long string cut after a whole
    // character (three bytes, each escaped).
    EXPECT_TRUE(listed("COM153\t" + system.root() + "/dev/ttyUSB1\t\t\\xFF\\xFE Odd\\tCable")) << run.out;
    std::string cut;
    for (size_t i = 0; i < platform::kMaxNameCharacters; ++i)
        cut += "\\xE8\\xAA\\x9E";
    EXPECT_TRUE(listed("COM154\t" + system.root() + "/dev/ttyUSB2\t\t" + cut)) << run.out;
    // The simulator's control line is said to be one.
    char controlLine[512] = {};
    ASSERT_GT(readlink(portLinkPath(8).c_str(), controlLine, sizeof controlLine - 1), 0) << "the fixture links COM8";
    EXPECT_TRUE(listed("COM8\t" + std::string(controlLine) + "\t\tmerlin-sim control line")) << run.out;
    // The fixture's network links, by their address.
    for (const unsigned port : {11u, 12u}) {
        char address[512] = {};
        ASSERT_GT(readlink(portLinkPath(port).c_str(), address, sizeof address - 1), 0);
        EXPECT_TRUE(listed("COM" + std::to_string(port) + "\t" + address + "\t\t")) << run.out;
    }
    if (access("/dev/ttyS0", F_OK) == 0) {
        EXPECT_NE(run.out.find("COM1\t/dev/ttyS0\t"), std::string::npos) << run.out;
    }
}

// Only serial devices are ports, and a link's target is shown escaped, so a
// name holding a tab or a newline cannot pass for another line.
TEST(ConsoleListPorts, ListsOnlySerialDevicesAndEscapesTheirNames)
{
    char mount[512] = {};
    ASSERT_GT(readlink(portLinkPath(7).c_str(), mount, sizeof mount - 1), 0) << "the fixture links COM7";
    char scratch[] = "/tmp/merlintest-list-XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    const std::string dir = scratch;
    const std::string file = dir + "/file", fifo = dir + "/fifo", forged = dir + "/a\nCOM99\t/ttyUSB9";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(forged.substr(0, forged.rfind('/')).c_str(), 0700), 0);
    ASSERT_EQ(symlink(mount, forged.c_str()), 0);
    // A network address that holds a line break is no address, nor is one
    // that does not parse.
    const std::vector<std::pair<unsigned, std::string>> links = {
        {152, file},
        {153, fifo},
        {154, dir},
        {155, "/dev/null"},
        {156, "/dev/zero"},
        {157, forged},
        {158, "udp://bad\nname"},
        {159, "tcp://127.0.0.1"},
        {160, "udp://a\x7f"},
    };
    for (const auto& link : links) {
        unlink(portLinkPath(link.first).c_str());
        EXPECT_EQ(symlink(link.second.c_str(), portLinkPath(link.first).c_str()), 0);
    }
    const ProgramRun run = runProgram({"--list-ports"});
    for (const auto& link : links)
        unlink(portLinkPath(link.first).c_str());
    unlink(forged.c_str());
    rmdir(forged.substr(0, forged.rfind('/')).c_str());
    unlink(fifo.c_str());
    unlink(file.c_str());
    rmdir(dir.c_str());

    EXPECT_EQ(run.exitCode, 0);
    for (unsigned number : {152, 153, 154, 155, 156, 158, 159, 160})
        EXPECT_EQ(run.out.find("COM" + std::to_string(number) + "\t"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nCOM157\t" + dir + "/a\\nCOM99\\t/ttyUSB9\t\t\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\nCOM99"), std::string::npos) << run.out;
}

}  // namespace

namespace {

// The long options a program's --help lists, one to a line of its own.
std::set<std::string> longOptionsOfHelp(const std::string& program)
{
    RunSetup direct;
    // $1 is merlintest, as the harness runs it; $2 the program asked.
    direct.launcher = {"/bin/sh", "-c", "exec \"$2\" --help", "sh"};
    const std::string help = runProgram({program}, direct).out;
    std::set<std::string> options;
    const std::regex line(R"re(\n  (?:-\w, )?(--[a-z][a-z-]*))re");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), line); it != std::sregex_iterator(); ++it)
        options.insert((*it)[1]);
    return options;
}

// What bash offers with the program's completion loaded, for the `words`
// typed after its name (bash splits "--check=7" into "--check", "=", "7"),
// the last being completed.
std::set<std::string> completions(const std::string& program, const Lines& words)
{
    const std::string name = program == MERLINTEST_PATH ? "merlintest" : "merlin-sim";
    const std::string function = program == MERLINTEST_PATH ? "_merlintest" : "_merlin_sim";
    RunSetup bash;
    // $1 is merlintest, as the harness runs it; the words follow.
    bash.launcher = {"/bin/bash", "-c",
                     "source '" COMPLETIONS_DIR "/" + name +
                         "' || exit 3; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); " + function +
                         "; printf '%s\\n' \"${COMPREPLY[@]}\"",
                     "bash"};
    Lines typed = {program};
    typed.insert(typed.end(), words.begin(), words.end());
    const ProgramRun run = runProgram(typed, bash);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::set<std::string> offered;
    size_t at = 0;
    for (size_t end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1)
        if (end > at)
            offered.insert(run.out.substr(at, end - at));
    return offered;
}

}  // namespace

// Bash completes each program's options, as its --help lists them, and what
// follows them: the COM numbers whose device exists, network kinds, device
// paths, Qt's styles; the simulator's files.
TEST(ConsoleCompletion, OffersEveryOptionOfTheHelpAndWhatFollowsIt)
{
    using Set = std::set<std::string>;
    const std::string merlintest = MERLINTEST_PATH, sim = MERLIN_SIM_PATH;
    const Set ours = longOptionsOfHelp(merlintest);
    EXPECT_TRUE(ours.count("--check") && ours.count("--version")) << "the help's options were not found";
    EXPECT_EQ(completions(merlintest, {"--"}), ours);
    EXPECT_EQ(completions(merlintest, {"--ch"}), Set{"--check"});
    const Set ports = completions(merlintest, {"--check", ""});
    for (const char* offered : {"COM7", "COM8", "udp://", "tcp://"})
        EXPECT_TRUE(ports.count(offered)) << offered;
    const Set afterEquals = completions(merlintest, {"--check", "=", "CO"});
    EXPECT_TRUE(afterEquals.count("COM7"));
    EXPECT_TRUE(std::all_of(afterEquals.begin(), afterEquals.end(),
                            [](const std::string& port) { return port.rfind("COM", 0) == 0; }));
    EXPECT_TRUE(completions(merlintest, {"--check", "/dev/nul"}).count("/dev/null"));
    EXPECT_EQ(completions(merlintest, {"-sty"}), Set{"-style"});
    EXPECT_EQ(completions(merlintest, {"-style", ""}), (Set{"fusion", "windows"}));
    EXPECT_EQ(completions(merlintest, {"--trace", "--list-ports", ""}), Set{});

    const Set simOptions = longOptionsOfHelp(sim);
    EXPECT_TRUE(simOptions.count("--com") && simOptions.count("--silent")) << "the help's options were not found";
    EXPECT_EQ(completions(sim, {"--"}), simOptions);
    EXPECT_EQ(completions(sim, {"--sil"}), Set{"--silent"});
    EXPECT_TRUE(completions(sim, {"--log", "/dev/nul"}).count("/dev/null"));
    EXPECT_EQ(completions(sim, {"--com", ""}), Set{});
}
