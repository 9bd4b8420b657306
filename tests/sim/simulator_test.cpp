// The mount simulator as a client meets it: a child process behind a real
// pseudo-terminal, frames written and replies read on the data port, the
// control port steered through SimClient. Each test starts its own
// simulator with its links in a fresh temporary HOME, as COM7 and COM8.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "tests/support/sim_client.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 10000;  // generous: a live simulator answers in a few ms
constexpr unsigned kDataCom = 7;
constexpr unsigned kControlCom = 8;

int elapsedMs(Clock::time_point since)
{
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The data port from the client's side: a raw pty, read with deadlines.
class DataPort {
public:
    explicit DataPort(const std::string& path)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            return;
        termios t;
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~DataPort() { close(); }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    void send(const std::string& bytes) { ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

    // Reads until `count` carriage returns have come, or the time is up.
    std::string readReplies(size_t count)
    {
        return readUntil(
            [count](const std::string& in) { return size_t(std::count(in.begin(), in.end(), '\r')) >= count; });
    }
    std::string readUntil4k()
    {
        return readUntil([](const std::string& in) { return in.size() >= 4096; });
    }
    std::string readUntilEnding(const std::string& tail)
    {
        return readUntil([&tail](const std::string& in) {
            return in.size() >= tail.size() && in.compare(in.size() - tail.size(), tail.size(), tail) == 0;
        });
    }
    // When the first and the last byte of the latest read arrived.
    Clock::time_point firstByteAt, lastByteAt;

private:
    template <typename Done> std::string readUntil(Done done)
    {
        std::string in;
        auto start = Clock::now();
        while (!done(in) && elapsedMs(start) < kWaitMs) {
            pollfd p = {fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buffer[256];
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            if (in.empty())
                firstByteAt = Clock::now();
            lastByteAt = Clock::now();
            in.append(buffer, size_t(n));
        }
        return in;
    }
    int fd_ = -1;
};

struct Step {
    const char* frame;    // one frame, or several in a row
    const char* reply;    // empty: nothing is answered
    bool repeat = false;  // sent again until so answered: the end of a motion
};

// A simulator of the test's own, started with --com 7 --control-com 8 (and
// any extra options) in a temporary HOME that this process uses as well, so
// SimClient finds it as COM8.
class Simulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/merlin-sim-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home_ = pattern;
        if (const char* home = std::getenv("HOME"))
            savedHome_ = home;
        setenv("HOME", home_.c_str(), 1);
        if (const char* config = std::getenv("XDG_CONFIG_HOME"))
            savedConfig_ = config;
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("WINEPREFIX");
    }

    void TearDown() override
    {
        stop(SIGTERM);
        sim.close();
        setenv("HOME", savedHome_.c_str(), 1);
        if (!savedConfig_.empty())
            setenv("XDG_CONFIG_HOME", savedConfig_.c_str(), 1);
        std::error_code ignored;
        fs::remove_all(home_, ignored);
    }

    std::string comLink(unsigned n) const { return home_ + "/.config/merlintest/ports/com" + std::to_string(n); }

    // Starts the simulator and waits until it has printed its ports (its
    // links exist by then). Tests call it through ASSERT_NO_FATAL_FAILURE: a
    // simulator that did not start must end the test, not leave it a null port.
    void start(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {MERLIN_SIM_PATH, "--com", std::to_string(kDataCom), "--control-com",
                                         std::to_string(kControlCom)};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(startRaw(args), 0);
        ASSERT_NE(output_.find("control port"), std::string::npos) << output_;
        ASSERT_TRUE(sim.open(kControlCom)) << sim.lastError();
        port.reset(new DataPort(comLink(kDataCom)));
        ASSERT_TRUE(port->isOpen());
    }

    // Starts the simulator and reads what it prints until it has shown its
    // control port or, with `toTheEnd`, until it has ended; then the exit
    // status, otherwise 0.
    int startRaw(const std::vector<std::string>& args, bool toTheEnd = false)
    {
        output_.clear();
        int out[2];
        if (pipe(out) != 0)
            return -1;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            // A run to the end is about what it prints: its errors too.
            if (toTheEnd)
                dup2(out[1], STDERR_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            // Why it did not start, for the failure message.
            dprintf(STDOUT_FILENO, "cannot run %s: %s\n", argv[0], strerror(errno));
            _exit(127);
        }
        ::close(out[1]);
        auto begin = Clock::now();
        while ((toTheEnd || output_.find("control port") == std::string::npos) && elapsedMs(begin) < kWaitMs) {
            pollfd p = {out[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buffer[512];
            ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            output_.append(buffer, size_t(n));
        }
        ::close(out[0]);
        if (!toTheEnd)
            return 0;
        int status = -1;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

    // Sends the signal and waits for the simulator to end; its exit status.
    int stop(int signal)
    {
        if (pid_ <= 0)
            return -1;
        port.reset();
        ::kill(pid_, signal);
        int status = 0;
        auto begin = Clock::now();
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (elapsedMs(begin) > kWaitMs) {
                ::kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            usleep(5000);
        }
        pid_ = -1;
        return status;
    }

    // The TCP port the simulator printed, when started with --tcp.
    int tcpPort() const
    {
        std::smatch m;
        return std::regex_search(output_, m, std::regex(R"(data port tcp://127\.0\.0\.1:(\d+))")) ? std::stoi(m[1])
                                                                                                  : -1;
    }

    // Sends frames and returns the replies once `count` have come.
    std::string exchange(const std::string& frames, size_t count)
    {
        port->send(frames);
        return port->readReplies(count);
    }

    // Each frame in turn, its reply as the step expects.
    void play(const std::vector<Step>& steps)
    {
        for (const Step& step : steps) {
            SCOPED_TRACE(SimClient::escape(step.frame));
            std::string reply = step.reply;
            if (!*step.reply)
                port->send(step.frame);
            else if (!step.repeat)
                EXPECT_EQ(exchange(step.frame, size_t(std::count(reply.begin(), reply.end(), '\r'))), step.reply);
            else {
                reply.clear();
                for (auto begin = Clock::now(); reply != step.reply && elapsedMs(begin) < kWaitMs;)
                    reply = exchange(step.frame, 1);
                EXPECT_EQ(reply, step.reply);
            }
        }
    }

    bool stateHas(const std::string& line)
    {
        auto lines = sim.state();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    SimClient sim;
    std::unique_ptr<DataPort> port;
    std::string home_;
    std::string output_;

private:
    std::string savedHome_;
    std::string savedConfig_;
    pid_t pid_ = -1;
};

// ---- Answers -----------------------------------------------------------------

TEST_F(Simulator, HandshakeRepliesCarryTheCountsLowByteFirst)
{
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(exchange(":F1\r:F2\r:a1\r:D1\r:a2\r:D2\r", 6), "=\r=\r=00F915\r=9C0E00\r=00F915\r=9C0E00\r");

    ASSERT_TRUE(sim.setCounts(1, 800000));
    ASSERT_TRUE(sim.setCounts(2, 2500000));
    EXPECT_EQ(exchange(":a1\r:a2\r", 2), "=00350C\r=A02526\r");
    ASSERT_TRUE(sim.setCounts(2, 0x123456));
    EXPECT_EQ(exchange(":a2\r:a1\r", 2), "=563412\r=00350C\r");

    EXPECT_EQ(sim.frames(), (std::vector<std::string>{":F1\r", ":F2\r", ":a1\r", ":D1\r", ":a2\r", ":D2\r", ":a1\r",
                                                      ":a2\r", ":a2\r", ":a1\r"}));
    EXPECT_EQ(sim.replies().size(), 10u);
}

TEST_F(Simulator, MoveStoresModeDirectionAndRateDecodedLowByteFirst)
{
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(exchange(":F3\r:L2\r:G231\r:I2460000\r:J2\r", 5), "=\r=\r=\r=\r=\r");
    EXPECT_TRUE(stateHas("axis2 moving mode=3 reverse=1 rate=70")) << ::testing::PrintToString(sim.state());
    EXPECT_TRUE(stateHas("axis1 stopped"));

    // 100000 is 0x0186A0: low byte A0 first, upper-case digits.
    EXPECT_EQ(exchange(":G130\r:I1A08601\r:J1\r", 3), "=\r=\r=\r");
    EXPECT_TRUE(stateHas("axis1 moving mode=3 reverse=0 rate=100000"));

    // No new set-up while the axis turns; a stop ends the movement.
    EXPECT_EQ(exchange(":G230\r", 1), "!2\r");
    EXPECT_EQ(exchange(":L2\r:L1\r", 2), "=\r=\r");
    EXPECT_TRUE(stateHas("axis1 stopped"));
    EXPECT_TRUE(stateHas("axis2 stopped"));
}

// The controller's command set in one run on a fresh machine, in order, for
// a driver that asks for everything: figures, status, position, goto, slew.
TEST_F(Simulator, EveryCommandAnswersAsTheControllerDoes)
{
    const std::vector<Step> steps = {
        {":", ""},  // a lone ":" then silence: the next frame starts afresh
        {":e1\r", "=031080\r"},
        {":e2\r", "=031080\r"},
        {":a1\r", "=00F915\r"},
        {":b1\r", "=24F400\r"},  // 62500 Hz
        {":g2\r", "=10\r"},
        {":s1\r", "=102700\r"},  // 10000
        {":D2\r", "=9C0E00\r"},  // 3740 ticks a count
        {":f1\r", "=100\r"},     // slew slow, at rest, not initialised
        {":j1\r", "=000080\r"},
        {":q1010000\r", "=000000\r"},
        {":G130\r", "!4\r"},
        {":J3\r", "!4\r"},
        {":F3\r", "=\r"},
        {":f2\r", "=101\r"},
        {":E2100080\r", "=\r"},
        {":j2\r", "=100080\r"},
        {":P12\r", "=\r"},
        {":V1FF\r", "=\r"},
        {":M1010000\r", "=\r"},
        // A slow goto of three counts at one count a tick is over in 48 us.
        {":G120\r", "=\r"},
        {":I1010000\r", "=\r"},
        {":H1030000\r", "=\r"},
        {":J1\r", "=\r"},
        {":f1\r", "=001\r", true},
        {":j1\r", "=030080\r"},
        {":G121\r", "=\r"},  // backwards: the increment counts down
        {":H1010000\r", "=\r"},
        {":J1\r", "=\r"},
        {":f1\r", "=201\r", true},
        {":j1\r", "=020080\r"},
        {":S1FFFF7F\r", "=\r"},  // absolute -1, reached whichever way
        {":J1\r", "=\r"},
        {":f1\r", "=201\r", true},
        {":j1\r", "=FFFF7F\r"},
        // A fast slew runs until stopped and refuses a new set-up meanwhile.
        {":G130\r", "=\r"},
        {":I1460000\r", "=\r"},
        {":J1\r", "=\r"},
        {":f1\r", "=511\r"},
        {":G131\r", "!2\r"},
        {":H1010000\r", "!2\r"},
        {":E1000080\r", "!2\r"},
        {":L1\r", "=\r"},
        {":f1\r", "=501\r"},
        // A slow one stops at once on ":K" too.
        {":G111\r", "=\r"},
        {":J1\r", "=\r"},
        {":f1\r", "=311\r"},
        {":K3\r", "=\r"},
        {":f1\r", "=301\r"},
        {":Z1\r", "!0\r"},
        {":e\r", "!1\r"},
        {":G1\r", "!1\r"},
        {":q1\r", "!1\r"},
        {":I1a00000\r", "!3\r"},
        {":f3\r", "!3\r"},
        {":G141\r", "!3\r"},
    };
    ASSERT_NO_FATAL_FAILURE(start());
    play(steps);
    SimClient::Axis axis;
    ASSERT_TRUE(sim.axis(2, &axis)) << sim.lastError();
    EXPECT_EQ(axis.position, 16);
    EXPECT_TRUE(axis.initialised);
    EXPECT_FALSE(axis.running);
}

// Positions follow the clock: a slew at the speed its period gives, a goto
// to its target exactly, a braking axis to rest 0.2 s later.
TEST_F(Simulator, AxesMoveInRealTimeAndStopWhereTheyShould)
{
    const std::string file = home_ + "/sim.log";
    ASSERT_NO_FATAL_FAILURE(start({"--log", file}));
    // Slew fast at period 70: 16 counts every 70 ticks of 62500 Hz, 14285.7 a second.
    EXPECT_EQ(exchange(":F3\r:G130\r:I1460000\r:J1\r", 4), "=\r=\r=\r=\r");
    ASSERT_TRUE(sim.clearLog());
    const std::string first = exchange(":j1\r", 1);
    platform::sleepMilliseconds(300);
    const std::string second = exchange(":j1\r", 1);
    const std::vector<SimClient::Entry> log = sim.log(true);
    ASSERT_EQ(log.size(), 4u);
    auto position = [](const std::string& reply) {
        return std::stoll(reply.substr(5, 2) + reply.substr(3, 2) + reply.substr(1, 2), nullptr, 16) - 0x800000;
    };
    const double seconds = double(log[2].us - log[0].us) / 1e6;
    const double rate = double(position(second) - position(first)) / seconds;
    EXPECT_NEAR(rate, 62500.0 * 16 / 70, 62500.0 * 16 / 70 * 0.02) << "over " << seconds << " s";

    // ":K" brakes: the axis runs on for 0.2 s and covers half what it would have.
    EXPECT_EQ(exchange(":K1\r", 1), "=\r");
    // A fast goto to 20000 (0x004E20), then a short slow one of a count.
    std::string status;
    for (auto begin = Clock::now(); status != "=501\r" && elapsedMs(begin) < kWaitMs;)
        status = exchange(":f1\r", 1);
    EXPECT_EQ(status, "=501\r");
    EXPECT_EQ(exchange(":S1204E80\r:G100\r:J1\r", 3), "=\r=\r=\r");
    for (auto begin = Clock::now(); status != "=401\r" && elapsedMs(begin) < kWaitMs;)
        status = exchange(":f1\r", 1);
    EXPECT_EQ(exchange(":j1\r", 1), "=204E80\r");
    EXPECT_EQ(exchange(":G120\r:I1010000\r:H1010000\r:J1\r", 4), "=\r=\r=\r=\r");
    for (auto begin = Clock::now(); status != "=001\r" && elapsedMs(begin) < kWaitMs;)
        status = exchange(":f1\r", 1);
    EXPECT_EQ(exchange(":j1\r", 1), "=214E80\r");

    // The log file shows each change, braking to rest 200 ms and 1428 counts on.
    std::ifstream in(file);
    std::vector<std::string> changes;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 3, "ax ") == 0)
            changes.push_back(line);
    }
    ASSERT_EQ(changes.size(), 7u) << ::testing::PrintToString(changes);
    std::smatch braking, rest;
    const std::regex change(R"(ax (\d+) axis1 (.*) position=(-?\d+))");
    ASSERT_TRUE(std::regex_match(changes[1], braking, change)) << changes[1];
    ASSERT_TRUE(std::regex_match(changes[2], rest, change)) << changes[2];
    EXPECT_EQ(braking[2], "braking");
    EXPECT_EQ(rest[2], "at rest");
    EXPECT_EQ(std::stoll(rest[1]) - std::stoll(braking[1]), 200);
    EXPECT_EQ(std::stoll(rest[3]) - std::stoll(braking[3]), 1428);
    EXPECT_TRUE(std::regex_match(changes[4], std::regex(R"(ax \d+ axis1 on target position=20000)"))) << changes[4];
    EXPECT_TRUE(std::regex_match(changes[6], std::regex(R"(ax \d+ axis1 on target position=20001)"))) << changes[6];
}

TEST_F(Simulator, OutputAndAdapterQueriesReflectTheLastValueSet)
{
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(exchange(":o1\r:x1\r", 2), "=0\r=0\r");
    EXPECT_EQ(exchange(":O11\r:o1\r:X13\r:x1\r", 4), "=\r=1\r=\r=3\r");
    EXPECT_TRUE(stateHas("aux 1"));
    EXPECT_TRUE(stateHas("lines 3"));
    EXPECT_EQ(exchange(":O10\r:o1\r:X1A\r:x1\r", 4), "=\r=0\r=\r=A\r");
    EXPECT_TRUE(stateHas("lines 10"));
}

TEST_F(Simulator, SelfTimerTakesItsTimeLowByteFirstAndCountsDownToZero)
{
    ASSERT_NO_FATAL_FAILURE(start());
    // 60000 ms is 0xEA60.
    EXPECT_EQ(exchange(":T11060EA\r", 1), "=\r");
    std::vector<std::string> state = sim.state();
    ASSERT_EQ(state.size(), 5u);
    int left = std::atoi(state[4].substr(6).c_str());
    EXPECT_LE(left, 60000);
    EXPECT_GT(left, 50000) << state[4];

    // 300 ms is 0x012C; read it back until it has run out.
    EXPECT_EQ(exchange(":T1102C01\r", 1), "=\r");
    int previous = 300;
    bool reachedZero = false;
    auto begin = Clock::now();
    while (!reachedZero && elapsedMs(begin) < kWaitMs) {
        std::string reply = exchange(":t1\r", 1);
        ASSERT_EQ(reply.size(), 6u) << reply;
        int value = std::stoi(reply.substr(3, 2) + reply.substr(1, 2), nullptr, 16);
        EXPECT_LE(value, previous);
        previous = value;
        reachedZero = reply == "=0000\r";
    }
    EXPECT_TRUE(reachedZero);
}

// Faults of a drive that a self-test must catch, each on the one model: the
// frames are answered as ever, only where the axis goes tells. Axis 1 slews
// fast at period 1 (a count a microsecond), so any two readings differ.
TEST_F(Simulator, DriveFaultsShowOnlyInWhereTheAxisGoes)
{
    const struct {
        std::vector<std::string> options;
        std::vector<Step> steps;
        int axis, direction;  // how that axis then moves: +1, -1, 0 at rest
    } cases[] = {
        // Stuck: running as far as :f tells, at zero however long; axis 2 is sound.
        {{"--stuck", "1"},
         {{":F3\r:G130\r:I1010000\r:J1\r", "=\r=\r=\r=\r"},
          {":f1\r", "=511\r"},
          {":j1\r", "=000080\r"},
          {":G230\r:I2010000\r:J2\r", "=\r=\r=\r"},
          {":j1\r", "=000080\r"}},
         2,
         1},
        // Reversed: :f names the direction asked for, the position goes the
        // other way; a goto of +3 ends at -3.
        {{"--reversed", "1"},
         {{":F3\r:G120\r:I1010000\r:H1030000\r:J1\r", "=\r=\r=\r=\r=\r"},
          {":f1\r", "=001\r", true},
          {":j1\r", "=FDFF7F\r"},
          {":G130\r:J1\r:f1\r", "=\r=\r=511\r"}},
         1,
         -1},
        // Runaway: both stops are answered and neither stops it.
        {{"--runaway", "1"},
         {{":F3\r:G131\r:I1010000\r:J1\r", "=\r=\r=\r=\r"},
          {":K1\r:L1\r:L3\r", "=\r=\r=\r"},
          {":f1\r:G130\r", "=711\r!2\r"}},
         1,
         -1},
        // A controller that refuses to say what it is.
        {{"--error", ":e=1"}, {{":e1\r", "!1\r"}, {":e2\r", "!1\r"}, {":a1\r", "=00F915\r"}}, 1, 0},
        {{"--error", ":e2=2"}, {{":e1\r", "=031080\r"}, {":e2\r", "!2\r"}}, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0]);
        ASSERT_NO_FATAL_FAILURE(start(c.options));
        play(c.steps);
        int direction = 2;
        EXPECT_TRUE(sim.axisMotion(c.axis, &direction)) << sim.lastError();
        EXPECT_EQ(direction, c.direction);
        stop(SIGTERM);
    }
}

// The same faults from the control line, switched on a turning axis; reset
// brings back those of the command line.
TEST_F(Simulator, DriveFaultsSwitchOnTheControlLineAndResetRestoresTheStart)
{
    ASSERT_NO_FATAL_FAILURE(start({"--runaway", "2"}));
    EXPECT_EQ(exchange(":F3\r:G130\r:I1010000\r:J1\r", 4), "=\r=\r=\r=\r");
    ASSERT_TRUE(sim.setStuck(1, true));
    SimClient::Axis before, after;
    ASSERT_TRUE(sim.axis(1, &before));
    platform::sleepMilliseconds(20);
    ASSERT_TRUE(sim.axis(1, &after));
    EXPECT_TRUE(after.running);
    EXPECT_EQ(after.position, before.position) << "stuck where it was, not back at zero";
    EXPECT_GT(after.position, 0);
    ASSERT_TRUE(sim.setStuck(1, false));
    int direction = 0;
    EXPECT_TRUE(sim.axisMotion(1, &direction)) << sim.lastError();
    EXPECT_EQ(direction, 1);
    ASSERT_TRUE(sim.setRunaway(1, true));
    EXPECT_EQ(exchange(":L1\r:f1\r", 2), "=\r=511\r");
    ASSERT_TRUE(sim.setRunaway(1, false));
    EXPECT_EQ(exchange(":L1\r:f1\r", 2), "=\r=501\r");
    ASSERT_TRUE(sim.setReversed(1, true));
    EXPECT_EQ(exchange(":J1\r", 1), "=\r");
    EXPECT_TRUE(sim.axisMotion(1, &direction)) << sim.lastError();
    EXPECT_EQ(direction, -1);

    ASSERT_TRUE(sim.reset());
    EXPECT_EQ(exchange(":F3\r:G130\r:G230\r:I1010000\r:I2010000\r:J3\r:L3\r:f1\r:f2\r", 9),
              "=\r=\r=\r=\r=\r=\r=\r=501\r=511\r");
    EXPECT_TRUE(sim.axisMotion(2, &direction)) << sim.lastError();
    EXPECT_EQ(direction, 1);
}

struct BadFrame {
    const char* frame;
    const char* reply;
};

TEST_F(Simulator, FaultyFramesGetErrorRepliesAndChangeNothing)
{
    const BadFrame cases[] = {
        {":Q1\r", "!0\r"},        // unknown letter
        {":\r", "!0\r"},          // no letter at all
        {":F\r", "!1\r"},         // no channel
        {":I112\r", "!1\r"},      // rate too short
        {":G13\r", "!1\r"},       // set-up too short
        {":O1\r", "!1\r"},        // output without its digit
        {":a3\r", "!3\r"},        // no third axis
        {":o2\r", "!3\r"},        // the output lives on channel 1 only
        {":I1a08601\r", "!3\r"},  // lower-case digits
        {":G13G\r", "!3\r"},      // direction bits are a hex digit
        {":O12\r", "!3\r"},       // output is 0 or 1
        {":T1xy0000\r", "!3\r"},  // timer digits
    };
    ASSERT_NO_FATAL_FAILURE(start());
    for (const BadFrame& c : cases) {
        SCOPED_TRACE(SimClient::escape(c.frame));
        EXPECT_EQ(exchange(c.frame, 1), c.reply);
    }
    // Stray bytes between frames, and a frame cut short by the next one.
    EXPECT_EQ(exchange("\n#:F1:D2\r", 1), "=9C0E00\r");
    EXPECT_EQ(sim.state(), (std::vector<std::string>{"axis1 stopped", "axis2 stopped", "aux 0", "lines 0", "timer 0"}));
}

// ---- The model on a clock of the test's own ---------------------------------------

// The model without a process: frames in, the output taken as if written at
// once, and time moved on by the test, so hours pass in no time.
class SimulatorModel : public ::testing::Test {
protected:
    void make(const std::vector<std::vector<std::string>>& settings = {})
    {
        sim::Settings s;
        std::string why;
        for (const auto& words : settings)
            ASSERT_TRUE(sim::applySetting(s, words, &why)) << why;
        model.reset(new sim::Simulator(s, now));
    }
    std::string exchange(const std::string& frames)
    {
        model->receive(frames.data(), frames.size(), now);
        return drain();
    }
    std::string drain()
    {
        std::string out;
        while (!model->output().empty()) {
            sim::Chunk chunk = std::move(model->output().front());
            model->output().pop_front();
            out += chunk.bytes;
            model->written(chunk, now);
        }
        return out;
    }
    sim::Clock::time_point now = sim::Clock::time_point(std::chrono::hours(1));
    std::unique_ptr<sim::Simulator> model;
};

// So few counts that the sidereal period does not fit six digits answer the
// longest period, not a wrapped one.
TEST_F(SimulatorModel, SiderealPeriodSaturatesForFewCounts)
{
    const struct {
        const char* counts;
        const char* reply;
    } cases[] = {
        {"1", "=FFFFFF\r"}, {"0", "=FFFFFF\r"}, {"320", "=FFFFFF\r"}, {"321", "=31FDFF\r"}, {"16777215", "=410100\r"}};
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(make({{"counts", "1", c.counts}}));
        EXPECT_EQ(exchange(":D1\r"), c.reply) << c.counts;
    }
}

// The model code as two hex digits or by the kind of mount a driver expects.
TEST_F(SimulatorModel, ModelTakesACodeOrTheKindOfMount)
{
    const struct {
        const char* model;
        const char* reply;  // empty: refused
    } cases[] = {{"eq", "=031000\r"},
                 {"equatorial", "=031000\r"},
                 {"altaz", "=031080\r"},
                 {"wifi-altaz", "=0310A5\r"},
                 {"a5", "=0310A5\r"},
                 {"7F", "=03107F\r"},
                 {"F", ""},
                 {"GG", ""},
                 {"polar", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        sim::Settings settings;
        std::string why;
        EXPECT_EQ(sim::applySetting(settings, {"model", c.model}, &why), *c.reply != 0) << why;
        ASSERT_NO_FATAL_FAILURE(make());
        EXPECT_EQ(model->control(std::string("model ") + c.model, now), *c.reply ? "ok\n" : "error " + why + "\n");
        EXPECT_EQ(exchange(":e1\r"), *c.reply ? c.reply : "=031080\r");
    }
}

// A goto at the longest period over more counts than 24 bits hold ends in
// more nanoseconds than 2^63: it runs on rather than arriving at once.
TEST_F(SimulatorModel, LongSlowGotoFromAFarPositionRunsRatherThanArriving)
{
    ASSERT_NO_FATAL_FAILURE(make());
    EXPECT_EQ(exchange(":F1\r:G130\r:I1010000\r:J1\r"), "=\r=\r=\r=\r");
    now += std::chrono::seconds(40);  // a million counts a second
    EXPECT_EQ(exchange(":L1\r:G120\r:I1FFFFFF\r:S1000000\r:J1\r"), "=\r=\r=\r=\r=\r");
    now += std::chrono::hours(24 * 365);
    model->advance(now);
    EXPECT_EQ(exchange(":f1\r"), "=211\r");
    EXPECT_TRUE(model->axis(0).moving);
}

// A client that sends and never reads: the output stops at its bound, the
// rest waits unparsed, and is answered as the output drains.
TEST_F(SimulatorModel, OutputAndRecordStayWithinTheirBounds)
{
    ASSERT_NO_FATAL_FAILURE(make());
    std::string frames;
    for (int i = 0; i < 100000; ++i)
        frames += ":a1\r";
    model->receive(frames.data(), frames.size(), now);
    EXPECT_TRUE(model->outputFull());
    EXPECT_FALSE(model->readyForInput());
    EXPECT_LT(model->queuedBytes(), sim::Simulator::kMaxQueued + 1024);
    const size_t answered = model->output().size();
    EXPECT_LT(answered, 100000u);
    EXPECT_EQ(drain().size(), answered * 8);
    model->takeInput(now);
    EXPECT_EQ(model->output().size(), answered) << "the next as many";

    // Silent, nothing is queued: the record keeps the latest frames only.
    ASSERT_NO_FATAL_FAILURE(make({{"silent", "1"}}));
    model->receive(frames.data(), frames.size(), now);
    const sim::FrameRecord& record = model->frameRecord();
    EXPECT_TRUE(model->readyForInput());
    EXPECT_EQ(record.entries().size(), sim::FrameRecord::kMaxEntries);
    EXPECT_EQ(record.dropped(), 100000u - sim::FrameRecord::kMaxEntries);
    EXPECT_EQ(model->control("clearlog", now), "ok\n");
    EXPECT_EQ(model->control("memory", now), "memory output=0 input=0 record=0 recordbytes=0 dropped=0\nok\n");

    // Long replies are bounded by their bytes.
    ASSERT_NO_FATAL_FAILURE(make({{"overlong", "100000"}}));
    for (int i = 0; i < 200; ++i)
        exchange(":e1\r");
    EXPECT_LE(model->frameRecord().bytes(), sim::FrameRecord::kMaxBytes);
    EXPECT_GT(model->frameRecord().dropped(), 0u);
}

// ---- Misbehaviour on request ------------------------------------------------------

TEST_F(Simulator, SilentAnswersNothingButStillRecordsTheFrames)
{
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(sim.setSilent(true));
    port->send(":F1\r:J1\r");
    ASSERT_TRUE(sim.waitForFrames(2, kWaitMs));
    // Output stays in order: anything answered would come before this.
    ASSERT_TRUE(sim.say("=Z\r"));
    EXPECT_EQ(port->readUntilEnding("=Z\r"), "=Z\r");
    EXPECT_TRUE(stateHas("axis1 stopped"));  // a silent mount does not act either
    EXPECT_TRUE(sim.replies().empty());
    ASSERT_TRUE(sim.setSilent(false));
    EXPECT_EQ(exchange(":F1\r", 1), "=\r");
}

TEST_F(Simulator, ErrorRepliesByFramePrefixLeaveTheMachineAlone)
{
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(sim.setError(":a1", "05"));
    ASSERT_TRUE(sim.setError(":J", "2"));
    EXPECT_EQ(exchange(":a1\r:a2\r:J1\r", 3), "!05\r=00F915\r!2\r");
    EXPECT_TRUE(stateHas("axis1 stopped"));
    ASSERT_TRUE(sim.setError(":a1", "7"));  // the same prefix again replaces its code
    EXPECT_EQ(exchange(":a1\r", 1), "!7\r");
    ASSERT_TRUE(sim.clearErrors());
    EXPECT_EQ(exchange(":a1\r:F1\r:J1\r", 3), "=00F915\r=\r=\r");
}

TEST_F(Simulator, EchoNoiseAndOverlongShapeTheBytesButNotTheRecord)
{
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(sim.setEcho(true));
    EXPECT_EQ(exchange(":a1\r", 2), ":a1\r=00F915\r");
    ASSERT_TRUE(sim.setEcho(false));
    ASSERT_TRUE(sim.setNoise(true));
    EXPECT_EQ(exchange(":F1\r", 1), "\n#\x7F=\r");
    ASSERT_TRUE(sim.setNoise(false));
    ASSERT_TRUE(sim.setOverlong(12));
    EXPECT_EQ(exchange(":a1\r", 1), "=00F915012345678901\r");
    ASSERT_TRUE(sim.setOverlong(0));
    // Replies as the simulator meant them; echo and noise are not replies.
    EXPECT_EQ(sim.replies(), (std::vector<std::string>{"=00F915\r", "=\r", "=00F915012345678901\r"}));
}

TEST_F(Simulator, SplitPacedAndLateRepliesComeWholeButSpreadOut)
{
    ASSERT_NO_FATAL_FAILURE(start());
    // Four pieces of two bytes, 10 ms apart.
    ASSERT_TRUE(sim.setSplit(2));
    EXPECT_EQ(exchange(":a1\r", 1), "=00F915\r");
    EXPECT_GE(port->lastByteAt - port->firstByteAt, std::chrono::milliseconds(25));
    ASSERT_TRUE(sim.setSplit(0));

    // 108 bytes at about 1.04 ms a byte.
    ASSERT_TRUE(sim.setPace(true));
    ASSERT_TRUE(sim.setOverlong(100));
    EXPECT_EQ(exchange(":a1\r", 1).size(), 108u);
    EXPECT_GE(port->lastByteAt - port->firstByteAt, std::chrono::milliseconds(100));
    ASSERT_TRUE(sim.setPace(false));
    ASSERT_TRUE(sim.setOverlong(0));

    ASSERT_TRUE(sim.clearLog());
    ASSERT_TRUE(sim.setLatency(300));
    auto sent = Clock::now();
    EXPECT_EQ(exchange(":F1\r", 1), "=\r");
    EXPECT_GE(elapsedMs(sent), 300);
    std::vector<SimClient::Entry> log = sim.log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_GE(log[1].ms - log[0].ms, 300u);
    // The same record to the microsecond, on the clock that 'time' reads.
    std::vector<SimClient::Entry> micro = sim.log(true);
    ASSERT_EQ(micro.size(), 2u);
    EXPECT_GE(micro[1].us - micro[0].us, 300000u);
    EXPECT_EQ(micro[1].us / 1000, log[1].ms);
    uint64_t now = 0;
    ASSERT_TRUE(sim.clock(&now));
    EXPECT_GE(now, micro[1].us);
}

TEST_F(Simulator, ResetRestoresTheStartingBehaviourAndClearsEverything)
{
    ASSERT_NO_FATAL_FAILURE(start({"--counts", "2=800000", "--error", ":F1=9"}));
    EXPECT_EQ(exchange(":F1\r:a2\r", 2), "!9\r=00350C\r");
    ASSERT_TRUE(sim.setCounts(2, 2500000));
    ASSERT_TRUE(sim.clearErrors());
    EXPECT_EQ(exchange(":F1\r:a2\r", 2), "=\r=A02526\r");
    EXPECT_EQ(exchange(":O11\r:X12\r:L1\r:G130\r:I1460000\r:J1\r:T1100010\r", 7), "=\r=\r=\r=\r=\r=\r=\r");
    ASSERT_TRUE(sim.setSilent(true));

    ASSERT_TRUE(sim.reset());
    EXPECT_TRUE(sim.log().empty());
    EXPECT_EQ(sim.state(), (std::vector<std::string>{"axis1 stopped", "axis2 stopped", "aux 0", "lines 0", "timer 0"}));
    EXPECT_EQ(exchange(":F1\r:a2\r", 2), "!9\r=00350C\r");
}

// ---- Control port ------------------------------------------------------------------

TEST_F(Simulator, LogEscapesControlBytesAndSayUnescapesThem)
{
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(exchange(":Q1\x01\n\\\r", 1), "!0\r");
    std::vector<std::string> lines;
    ASSERT_TRUE(sim.command("log", &lines));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(rx \d+ :Q1\\x01\\n\\x5C\\r)"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(tx \d+ !0\\r)"))) << lines[1];
    EXPECT_EQ(sim.frames()[0], ":Q1\x01\n\\\r");

    ASSERT_TRUE(sim.say("=A\r\n\x7F\\\xFF"));
    EXPECT_EQ(port->readUntilEnding("\xFF"), "=A\r\n\x7F\\\xFF");
    ASSERT_TRUE(sim.command("say =\\r"));
    EXPECT_EQ(port->readReplies(1), "=\r");
    EXPECT_FALSE(sim.command("say \\q"));
}

TEST_F(Simulator, ControlCommandsRefuseWhatTheyCannotTake)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const char* bad[] = {"bogus",     "silent 2",     "split x", "counts 3 800000", "counts 1 16777216", "latency -1",
                         "error :a1", "overlong 1 2", "echo",    "stuck 3 1",       "reversed 1",        "runaway 1 2"};
    for (const char* command : bad) {
        EXPECT_FALSE(sim.command(command)) << command;
        EXPECT_NE(sim.lastError().find("error"), std::string::npos) << sim.lastError();
    }
    EXPECT_TRUE(sim.command("counts 1 16777215"));
    EXPECT_EQ(exchange(":a1\r", 1), "=FFFFFF\r");
    // A line too long is refused once, whole, and the next is taken.
    EXPECT_FALSE(sim.command("say " + std::string(70000, 'x')));
    EXPECT_NE(sim.lastError().find("error line too long"), std::string::npos) << sim.lastError().substr(0, 80);
    EXPECT_TRUE(sim.command("say =\\r")) << sim.lastError();
    EXPECT_EQ(port->readReplies(1), "=\r");
}

TEST_F(Simulator, SurvivesTheClientClosingAndReopeningThePort)
{
    ASSERT_NO_FATAL_FAILURE(start({"--latency", "50"}));
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        // Close with a reply still on its way, then come back.
        port->send(":F1\r");
        ASSERT_TRUE(sim.waitForFrames(size_t(2 * round + 1), kWaitMs));
        port.reset(new DataPort(comLink(kDataCom)));
        ASSERT_TRUE(port->isOpen());
        port->send(":a1\r");
        EXPECT_NE(port->readUntilEnding("=00F915\r").find("=00F915\r"), std::string::npos);
    }
    // The control port too.
    sim.close();
    ASSERT_TRUE(sim.open(kControlCom)) << sim.lastError();
    EXPECT_EQ(sim.frames().size(), 10u);
}

// The device faults the engine is tried against: a flood of noise, a port
// that takes no more bytes, and a device that goes away and comes back.
TEST_F(Simulator, FloodStallAndVanishAreDeviceFaults)
{
    start();
    ASSERT_TRUE(sim.setFlood(true));
    std::string flood = port->readUntil4k();
    EXPECT_GE(flood.size(), 4096u);
    EXPECT_EQ(flood.find_first_of("=!:"), std::string::npos) << "noise only";
    ASSERT_TRUE(sim.setFlood(false));

    // Stalled, nothing is read: the pty's queue fills and a write would block.
    ASSERT_TRUE(sim.setStall(true));
    std::string block(1024, 'x');
    size_t accepted = 0;
    for (int i = 0; i < 1024; ++i) {
        ssize_t n = ::write(port->fd(), block.data(), block.size());
        if (n <= 0)
            break;
        accepted += size_t(n);
    }
    EXPECT_LT(accepted, 1024u * 1024u) << "the queue filled";
    ASSERT_TRUE(sim.setStall(false));
    port.reset(new DataPort(comLink(kDataCom)));

    // Gone: the open port hangs up and the link leads nowhere; restored, the
    // same link reaches a working device.
    ASSERT_TRUE(sim.vanish());
    pollfd p = {port->fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, kWaitMs), 1);
    EXPECT_NE(p.revents & (POLLHUP | POLLERR), 0);
    EXPECT_FALSE(DataPort(comLink(kDataCom)).isOpen());
    ASSERT_TRUE(sim.restore());
    port.reset(new DataPort(comLink(kDataCom)));
    ASSERT_TRUE(port->isOpen());
    EXPECT_EQ(exchange(":F1\r", 1), "=\r");
}

// A TCP client that floods and never reads fills its own queues, not the
// simulator's memory; the control port answers all along, and the next
// client gets its own answers, not the last one's backlog.
TEST_F(Simulator, ClientThatNeverReadsIsReadNoMore)
{
    ASSERT_NO_FATAL_FAILURE(start({"--tcp", "127.0.0.1:0"}));
    const int port = tcpPort();
    ASSERT_GT(port, 0) << output_;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int flooder = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;  // kernel buffers that fill soon
    setsockopt(flooder, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(flooder, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_EQ(::connect(flooder, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << strerror(errno);
    fcntl(flooder, F_SETFL, O_NONBLOCK);
    std::string frames;
    for (int i = 0; i < 1024; ++i)
        frames += ":a1\r";
    auto memory = [this](const char* field) {
        std::vector<std::string> lines;
        EXPECT_TRUE(sim.command("memory", &lines)) << sim.lastError();
        std::smatch m;
        const std::string line = lines.empty() ? "" : lines[0];
        return std::regex_search(line, m, std::regex(std::string(" ") + field + "=(\\d+)")) ? std::stoull(m[1]) : 0ull;
    };
    // Until the output is full and the sends stop: the simulator reads no more.
    bool full = false;
    for (auto begin = Clock::now(); !full && elapsedMs(begin) < kWaitMs;) {
        pollfd p = {flooder, POLLOUT, 0};
        if (::poll(&p, 1, 50) == 1) {
            ASSERT_GT(::send(flooder, frames.data(), frames.size(), MSG_NOSIGNAL), 0);
        }
        full = memory("output") >= sim::Simulator::kMaxQueued;
    }
    ASSERT_TRUE(full);
    // The kernel's buffers fill in turn, and then nothing more is taken.
    pollfd p = {flooder, POLLOUT, 0};
    for (auto begin = Clock::now(); ::poll(&p, 1, 200) == 1 && elapsedMs(begin) < kWaitMs;)
        ::send(flooder, frames.data(), frames.size(), MSG_NOSIGNAL);
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "the simulator still reads";
    EXPECT_LT(memory("output"), sim::Simulator::kMaxQueued + 1024);
    EXPECT_LE(memory("input"), 65536u);
    EXPECT_FALSE(sim.say("=\r"));
    EXPECT_NE(sim.lastError().find("error output full"), std::string::npos) << sim.lastError();
    ::close(flooder);

    // Quick reconnects, each asking once: every one is served.
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE(round);
        const int client = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << strerror(errno);
        ASSERT_EQ(::send(client, ":e1\r", 4, MSG_NOSIGNAL), 4);
        std::string reply;
        char buffer[64];
        for (pollfd r = {client, POLLIN, 0}; reply.find('\r') == std::string::npos && ::poll(&r, 1, kWaitMs) == 1;) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            reply.append(buffer, size_t(n));
        }
        ::close(client);
        ASSERT_EQ(reply, "=031080\r");
    }
}

// ---- Process ------------------------------------------------------------------------

TEST_F(Simulator, TermAndIntEndItCleanlyAndRemoveItsLinks)
{
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        const std::string wine = home_ + "/wine";
        setenv("WINEPREFIX", wine.c_str(), 1);
        ASSERT_NO_FATAL_FAILURE(start({"--link", home_ + "/extra/data", "--control-link", home_ + "/extra/control"}));
        unsetenv("WINEPREFIX");
        const std::vector<std::string> links = {comLink(kDataCom),         comLink(kControlCom),
                                                wine + "/dosdevices/com7", wine + "/dosdevices/com8",
                                                home_ + "/extra/data",     home_ + "/extra/control"};
        for (const std::string& link : links) {
            struct stat st;
            EXPECT_EQ(lstat(link.c_str(), &st), 0) << link;
            EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
        }
        EXPECT_EQ(fs::read_symlink(links[0]), fs::read_symlink(links[2]));
        // Each link to the control port has its marker beside it, to the
        // same pseudo-terminal; a link to the data port has none.
        std::vector<std::string> markers;
        for (const std::string& link : {links[1], links[3], links[5]}) {
            markers.push_back(link + ".control");
            EXPECT_EQ(fs::read_symlink(link), fs::read_symlink(markers.back())) << link;
        }
        for (const std::string& link : {links[0], links[2], links[4]})
            EXPECT_FALSE(fs::exists(fs::symlink_status(link + ".control"))) << link;
        sim.close();
        int status = stop(signal);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        for (const std::string& link : links)
            EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << link;
        for (const std::string& marker : markers)
            EXPECT_FALSE(fs::exists(fs::symlink_status(marker))) << marker;
    }
}

TEST_F(Simulator, LogFileRecordsAsItHappens)
{
    const std::string file = home_ + "/sim.log";
    ASSERT_NO_FATAL_FAILURE(start({"--log", file}));
    EXPECT_EQ(exchange(":F1\r", 1), "=\r");
    ASSERT_TRUE(sim.waitForFrames(1, kWaitMs));
    std::ifstream in(file);
    std::string rx, tx;
    std::getline(in, rx);
    std::getline(in, tx);
    EXPECT_TRUE(std::regex_match(rx, std::regex(R"(rx \d+ :F1\\r)"))) << rx;
    EXPECT_TRUE(std::regex_match(tx, std::regex(R"(tx \d+ =\\r)"))) << tx;
}

TEST_F(Simulator, HelpListsEveryOptionAndBadOptionsFail)
{
    int status = startRaw({MERLIN_SIM_PATH, "--help"}, true);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const char* options[] = {"--link",     "--control-link", "--com",   "--control-com", "--log",
                             "--silent",   "--error",        "--echo",  "--split",       "--noise",
                             "--overlong", "--counts",       "--pace",  "--latency",     "--model",
                             "--help",     "--version",      "--stuck", "--reversed",    "--runaway"};
    for (const char* option : options)
        EXPECT_NE(output_.find(option), std::string::npos) << option;
    for (const char* command :
         {"reset", "silent", "error", "echo", "split", "noise", "overlong", "counts", "pace", "latency", "model", "log",
          "clearlog", "state", "axis", "say", "stuck", "reversed", "runaway"}) {
        EXPECT_NE(output_.find(command), std::string::npos) << command;
    }

    // Fits a terminal of 80 columns.
    size_t at = 0;
    for (size_t end; (end = output_.find('\n', at)) != std::string::npos; at = end + 1)
        EXPECT_LE(end - at, 80u) << output_.substr(at, end - at);
    for (const char* version : {"--version", "-V"}) {
        status = startRaw({MERLIN_SIM_PATH, version}, true);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << version;
        EXPECT_EQ(output_.rfind("merlin-sim 1.0\nCopyright (c) ", 0), 0u) << output_;
    }

    // A bad command line: one line on what is wrong, then where to look.
    const struct {
        std::vector<std::string> arguments;
        std::string problem;
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-x"}, "unknown option '-x'"},
        {{"--split", "x"}, "bad argument 'x' for --split"},
        {{"--counts", "800000"}, "bad argument '800000' for --counts"},
        {{"--com", "0"}, "'0' is not a COM number from 1 to 256"},
        {{"--stuck", "3"}, "bad argument '3' for --stuck"},
        {{"--model", "F"}, "bad argument 'F' for --model"},
        {{"--tcp", "127.0.0.1:65536"}, "'127.0.0.1:65536': the port is not a number from 0 to 65535"},
        {{"--udp", "127.0.0.1:70000"}, "'127.0.0.1:70000': the port is not a number from 0 to 65535"},
        {{"--tcp", "127.0.0.1: 5"}, "'127.0.0.1: 5': the port is not a number from 0 to 65535"},
        {{"--latency"}, "option '--latency' needs an argument"},
        {{"extra"}, "unexpected argument 'extra'"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.begin(), MERLIN_SIM_PATH);
        status = startRaw(arguments, true);
        ASSERT_TRUE(WIFEXITED(status)) << c.problem;
        EXPECT_EQ(WEXITSTATUS(status), 2) << c.problem;
        EXPECT_EQ(output_, "merlin-sim: " + c.problem + "\nTry 'merlin-sim --help' for more information.\n");
    }
}

}  // namespace
