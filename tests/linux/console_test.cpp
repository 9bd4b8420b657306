// The Linux program's console modes, run as the real `merlintest` process
// against the mount simulator on COM7: a check that reaches "Ready", an
// unknown, an erring, a silent and an absent mount, a port named by its path,
// why a port did not open, Ctrl-C, bad arguments, and the port list with a
// link of the user's.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"
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

// Runs merlintest with the arguments; `whileRunning` (when given) is called
// once the first line of standard output has come, with the process id.
// `launcher` (when given) starts the program, as setpriv does.
ProgramRun runProgram(const std::vector<std::string>& arguments, std::function<void(pid_t)> whileRunning = nullptr,
                      const std::vector<std::string>& launcher = {})
{
    ProgramRun run;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return run;
    const uint64_t start = platform::nowMilliseconds();
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        std::vector<std::string> words = launcher;
        words.push_back(MERLINTEST_PATH);
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    bool outOpen = true, errOpen = true, called = false;
    while ((outOpen || errOpen) && platform::nowMilliseconds() - start < kRunLimitMs) {
        pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        if (poll(fds, 2, 1000) <= 0)
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
    close(out[0]);
    close(err[0]);
    if (outOpen || errOpen)
        kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    run.ms = platform::nowMilliseconds() - start;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
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
    EXPECT_EQ(statuses(run.out), (Lines{"Opening port...", "Connecting... Please wait.", "Ready", "Connection closed"}));
    // --trace: the six frames and their replies on standard error.
    const std::regex frame(R"re( *\d+ ms > (:\w+\\r)\n)re");
    Lines sent;
    for (auto it = std::sregex_iterator(run.err.begin(), run.err.end(), frame); it != std::sregex_iterator(); ++it)
        sent.push_back((*it)[1]);
    EXPECT_EQ(sent, (Lines{":F1\\r", ":F2\\r", ":a1\\r", ":D1\\r", ":a2\\r", ":D2\\r"}));
    EXPECT_NE(run.err.find(" ms < =00F915\\r\n"), std::string::npos) << run.err;
    EXPECT_EQ(sim.frames().size(), 6u) << "nothing but the handshake";
    EXPECT_TRUE(portIsFree(7));
    // "7" means COM7 too; without --trace standard error stays empty.
    const ProgramRun plain = runProgram({"--check", "7"});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.err, "");
    // A device path is a port too: here the simulator's own pseudo-terminal.
    char mount[512] = {};
    ASSERT_GT(readlink(portLinkPath(7).c_str(), mount, sizeof mount - 1), 0) << "the fixture links COM7";
    const ProgramRun byPath = runProgram({"--check", mount});
    EXPECT_EQ(byPath.exitCode, 0) << byPath.out << byPath.err;
    EXPECT_EQ(statuses(byPath.out), (Lines{"Opening port...", "Connecting... Please wait.", "Ready", "Connection closed"}));
    EXPECT_TRUE(portIsFree(7));
}

TEST_F(ConsoleCheck, UnknownErringSilentAndAbsentMountsFailWith1AndThePortClosed)
{
    ASSERT_TRUE(sim.setCounts(2, 700000));
    ProgramRun run = runProgram({"--check", "7"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(statuses(run.out), (Lines{"Opening port...", "Connecting... Please wait.", "Error: Unknown telescope mount."}));
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
    EXPECT_TRUE(portIsFree(7));

    // COM200 has no device of its own and no link: it fails at once, and
    // says why beside the status.
    run = runProgram({"--check", "COM200"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(statuses(run.out), (Lines{"Opening port...", "Error: Cannot open port"}));
    EXPECT_EQ(run.err, "merlintest: COM200 (" + portLinkPath(200) + "): no such device\n");
    EXPECT_LT(run.ms, 5000u);
}

// A port that does not open says why on standard error, and in the trace:
// here a device that is no serial port, and a terminal the user may not
// open. Root opens any terminal, so as root the program runs as nobody.
TEST_F(ConsoleCheck, PortThatDoesNotOpenSaysWhy)
{
    ProgramRun run = runProgram({"--trace", "--check", "/dev/null"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(statuses(run.out), (Lines{"Opening port...", "Error: Cannot open port"}));
    EXPECT_TRUE(std::regex_match(run.err, std::regex(R"re( *\d+ ms ! /dev/null: not a serial device\n)re"
                                                     R"re(merlintest: /dev/null: not a serial device\n)re")))
        << run.err;

    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string device = ttyname(slave);
    const bool root = geteuid() == 0;
    const std::vector<std::string> unprivileged = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                                   "--clear-groups"};
    ASSERT_EQ(chmod(device.c_str(), root ? 0600 : 0), 0);
    run = runProgram({"--check", device}, nullptr, root ? unprivileged : Lines{});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(statuses(run.out), (Lines{"Opening port...", "Error: Cannot open port"}));
    EXPECT_EQ(run.err, "merlintest: " + device + ": permission denied\n");
    // A device its group may open: joining the group is the cure.
    const group* dialout = getgrnam("dialout");
    if (root && dialout != nullptr) {
        ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid), 0);
        ASSERT_EQ(chmod(device.c_str(), 0660), 0);
        run = runProgram({"--check", device}, nullptr, unprivileged);
        EXPECT_EQ(run.err, "merlintest: " + device +
                               ": permission denied: add yourself to the dialout group"
                               " (sudo usermod -aG dialout $USER), then log in again\n");
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
}

TEST(ConsoleArguments, HelpAndVersionExitWith0AndBadArgumentsWith2)
{
    EXPECT_EQ(runProgram({"--version"}).out, "merlintest 1.0\n");
    const ProgramRun help = runProgram({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.find("usage: merlintest"), 0u);

    const std::vector<std::vector<std::string>> cases = {
        {"--check"}, {"--check", "0"}, {"--check", "257"}, {"--check", "COM"}, {"--check", "COMx"},
        {"--check", "7x"}, {"--check", "-3"}, {"--check", "7", "--list-ports"}, {"--list"}, {"-h"}, {"extra"},
        {"--check", "200", "--check", "201"},
    };
    for (const auto& arguments : cases) {
        const ProgramRun run = runProgram(arguments);
        EXPECT_EQ(run.exitCode, 2) << arguments.back();
        EXPECT_NE(run.err.find("usage: merlintest"), std::string::npos) << arguments.back();
        EXPECT_EQ(run.out, "");
    }
}

// One line per COM number whose device exists, the fixed table's and the
// links alike: "COMn", a tab, the device (a link by where it points).
TEST(ConsoleListPorts, ListsEachExistingDeviceWithALinksTarget)
{
    char mount[512] = {};
    ASSERT_GT(readlink(portLinkPath(7).c_str(), mount, sizeof mount - 1), 0) << "the fixture links COM7";
    const std::string link = portLinkPath(150);
    unlink(link.c_str());
    ASSERT_EQ(symlink(mount, link.c_str()), 0);
    const std::string gone = portLinkPath(151);
    unlink(gone.c_str());
    ASSERT_EQ(symlink("/dev/merlintest-gone", gone.c_str()), 0);
    const ProgramRun run = runProgram({"--list-ports"});
    unlink(link.c_str());
    unlink(gone.c_str());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    const std::regex line(R"re(COM(\d+)\t(/.+))re");
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
    EXPECT_TRUE(listed("COM7\t" + std::string(mount))) << run.out;
    EXPECT_TRUE(listed("COM150\t" + std::string(mount))) << run.out;
    EXPECT_EQ(run.out.find("COM151\t"), std::string::npos) << "a link to nothing is no device";
    if (access("/dev/ttyS0", F_OK) == 0) {
        EXPECT_TRUE(listed("COM1\t/dev/ttyS0"));
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
    const std::vector<std::pair<unsigned, std::string>> links = {
        {152, file}, {153, fifo}, {154, dir}, {155, "/dev/null"}, {156, "/dev/zero"}, {157, forged},
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
    for (unsigned number = 152; number <= 156; ++number)
        EXPECT_EQ(run.out.find("COM" + std::to_string(number) + "\t"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nCOM157\t" + dir + "/a\\nCOM99\\t/ttyUSB9\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\nCOM99"), std::string::npos) << run.out;
}

}  // namespace
