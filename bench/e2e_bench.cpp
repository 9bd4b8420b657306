// The figures a user feels, against the mount simulator on COM7 (control
// COM8), which the bench script starts paced at 9600 baud with a set reply
// latency. Prints one "name value unit" line per figure.
//
// usage: e2e_bench LABEL LATENCY_MS [CALLS] [IDLE_S] [FLOOD_S]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/status_codes.h"
#include "bench/bench_clock.h"
#include "engine/telescope_control.h"
#include "platform/platform.h"
#include "tests/support/sim_client.h"
#if MERLIN_BENCH_REPORT
#include "preflight/preflight.h"
#endif

namespace {

constexpr unsigned kMountPort = 7;
constexpr uint32_t kWaitMs = 10000;
// Wire time of one byte at 9600 baud, 10 bits, in microseconds.
constexpr double kByteUs = 10.0 * 1e6 / 9600.0;
// The handshake's six frames and six replies, in bytes.
constexpr int kHandshakeBytes = 6 * 4 + (2 + 2 + 8 + 2 + 8 + 2);
constexpr double kHandshakePauseMs = 500.0;
// The report's 13 frames (4 bytes each) and their replies: =XXXXXX\r for the
// firmware and the 24-bit figures, =XX\r for the ratio, =XXX\r for a status.
constexpr int kReportFrames = 13;
constexpr int kReportBytes = kReportFrames * 4 + 8 + 2 * (8 + 8 + 4 + 8 + 5 + 8);

const char* gLabel = "";

// Lets the bench script sample the process (and wine's server) from outside.
void phase(const char* name, const char* edge)
{
    std::printf("%s phase %s %s\n", gLabel, name, edge);
    std::fflush(stdout);
}

void figure(const char* name, double value, const char* unit)
{
    std::printf("%s %s %.3f %s\n", gLabel, name, value, unit);
    std::fflush(stdout);
}

// Runs `seconds` of nothing on the harness's side, marked for the outside
// sampler, and reports the process's CPU meanwhile ("<name>_cpu") and, with
// `wakeups`, its context switches a second ("<name>_wakeups").
void measurePhase(const char* name, int seconds, bool wakeups)
{
    const uint64_t cpu0 = bench::processCpuMicroseconds();
    const long long switches0 = bench::contextSwitches();
    const uint64_t wall0 = bench::nowMicroseconds();
    phase(name, "begin");
    platform::sleepMilliseconds(static_cast<uint32_t>(seconds) * 1000u);
    phase(name, "end");
    const double wall = static_cast<double>(bench::nowMicroseconds() - wall0);
    const std::string prefix = name;
    figure((prefix + "_cpu").c_str(), 100.0 * static_cast<double>(bench::processCpuMicroseconds() - cpu0) / wall, "%");
    const long long switches1 = bench::contextSwitches();
#ifndef _WIN32
    // (Under wine /proc/self is wine's server; the script counts from outside.)
    if (wakeups && switches0 >= 0 && switches1 >= 0)
        figure((prefix + "_wakeups").c_str(), static_cast<double>(switches1 - switches0) / (wall / 1e6), "/s");
#else
    (void)wakeups;
    (void)switches0;
    (void)switches1;
#endif
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t at =
        std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
    return values[at];
}

// Waits for a status, without a test framework.
class Listener : public TelescopeListener {
public:
    Listener() { lock_.init(); }
    void onStatus(int code) override
    {
        platform::LockHold hold(lock_);
        statuses_.push_back(code);
    }
    void onDslrRemoteState(int, int) override {}
    void onDslrTimerState(int, int) override {}
    bool waitFor(int code, size_t* from)
    {
        const uint64_t deadline = platform::nowMilliseconds() + kWaitMs;
        while (platform::nowMilliseconds() < deadline) {
            {
                platform::LockHold hold(lock_);
                for (size_t i = *from; i < statuses_.size(); ++i) {
                    if (statuses_[i] == code) {
                        *from = i + 1;
                        return true;
                    }
                }
            }
            platform::sleepMilliseconds(1);
        }
        return false;
    }
    size_t count()
    {
        platform::LockHold hold(lock_);
        return statuses_.size();
    }

private:
    platform::Lock lock_;
    std::vector<int> statuses_;
};

[[noreturn]] void fail(const std::string& why)
{
    std::fprintf(stderr, "e2e_bench: %s\n", why.c_str());
    std::exit(1);
}

// Waits until the simulator's record holds `entries` lines.
std::vector<SimClient::Entry> logOf(SimClient& sim, size_t entries)
{
    const uint64_t deadline = platform::nowMilliseconds() + kWaitMs;
    for (;;) {
        std::vector<SimClient::Entry> log = sim.log(true);
        if (log.size() >= entries)
            return log;
        if (platform::nowMilliseconds() > deadline)
            fail("the simulator recorded " + std::to_string(log.size()) + " of " + std::to_string(entries));
        platform::sleepMilliseconds(1);
    }
}

// Reply written → the next frame received, for each pair in the record.
void addTurnarounds(const std::vector<SimClient::Entry>& log, std::vector<double>* out)
{
    for (size_t i = 0; i + 1 < log.size(); ++i) {
        if (!log[i].received && log[i + 1].received)
            out->push_back(static_cast<double>(log[i + 1].us - log[i].us) / 1000.0);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        fail("usage: e2e_bench LABEL LATENCY_MS [CALLS] [IDLE_S] [FLOOD_S]");
    gLabel = argv[1];
    const double latencyMs = std::atof(argv[2]);
    const int calls = argc > 3 ? std::atoi(argv[3]) : 1000;
    const int idleSeconds = argc > 4 ? std::atoi(argv[4]) : 30;
    const int floodSeconds = argc > 5 ? std::atoi(argv[5]) : 10;

    SimClient sim;
    if (!sim.open() || !sim.reset() || !sim.setPace(true) || !sim.setLatency(static_cast<unsigned>(latencyMs)))
        fail("no simulator on COM8: " + sim.lastError());

    // The simulator's clock against ours: the closest of twenty readings.
    int64_t offsetUs = 0;
    uint64_t bestRoundTrip = ~0ull;
    for (int i = 0; i < 20; ++i) {
        uint64_t simNow = 0;
        const uint64_t before = bench::nowMicroseconds();
        if (!sim.clock(&simNow))
            fail("simulator clock: " + sim.lastError());
        const uint64_t after = bench::nowMicroseconds();
        if (after - before < bestRoundTrip) {
            bestRoundTrip = after - before;
            offsetUs = static_cast<int64_t>(simNow) - static_cast<int64_t>((before + after) / 2);
        }
    }
#ifndef _WIN32
    // Natively both sides read the same monotonic clock: no estimate needed.
    {
        uint64_t simNow = 0, monotonic = 0;
        if (!sim.clock(&simNow, &monotonic))
            fail("simulator clock: " + sim.lastError());
        offsetUs = static_cast<int64_t>(simNow) - static_cast<int64_t>(monotonic);
        bestRoundTrip = 0;
    }
#endif
    figure("clock_uncertainty", static_cast<double>(bestRoundTrip) / 2000.0, "ms");

    Listener listener;
    TelescopeControl* engine = new TelescopeControl(&listener);
    size_t seen = 0;

    // Handshake: connect → "Ready", beside its floor.
    std::vector<double> handshakes, turnarounds;
    for (int i = 0; i < 10; ++i) {
        sim.clearLog();
        const uint64_t start = bench::nowMicroseconds();
        engine->connect(kMountPort);
        if (!listener.waitFor(StatusReady, &seen))
            fail("no Ready");
        handshakes.push_back(static_cast<double>(bench::nowMicroseconds() - start) / 1000.0);
        addTurnarounds(logOf(sim, 12), &turnarounds);
        engine->disconnect();
        if (!listener.waitFor(StatusConnectionClosed, &seen))
            fail("no Connection closed");
    }
    const double floorMs = kHandshakePauseMs + kHandshakeBytes * kByteUs / 1000.0 + 6 * latencyMs;
    figure("handshake_median", percentile(handshakes, 0.5), "ms");
    figure("handshake_floor", floorMs, "ms");
    figure("handshake_ratio", percentile(handshakes, 0.5) / floorMs, "x");

    engine->connect(kMountPort);
    if (!listener.waitFor(StatusReady, &seen))
        fail("no Ready");

    // Turnaround over moves: three replies each that the engine answers.
    for (int i = 0; i < 100; ++i) {
        sim.clearLog();
        engine->move(static_cast<uint8_t>(i % 4), 2);
        addTurnarounds(logOf(sim, 8), &turnarounds);
    }
    figure("turnaround_median", percentile(turnarounds, 0.5), "ms");
    figure("turnaround_p99", percentile(turnarounds, 0.99), "ms");
    figure("turnaround_samples", static_cast<double>(turnarounds.size()), "");

    // Command latency: the call → its frame's first byte at the simulator.
    std::vector<double> latencies;
    for (int i = 0; i < calls; ++i) {
        sim.clearLog();
        const uint64_t called = bench::nowMicroseconds();
        engine->stop(2);
        const std::vector<SimClient::Entry> log = logOf(sim, 2);  // the frame and its reply
        const int64_t atSim = static_cast<int64_t>(log[0].us) - offsetUs;
        latencies.push_back(static_cast<double>(atSim - static_cast<int64_t>(called)) / 1000.0);
    }
    figure("command_median", percentile(latencies, 0.5), "ms");
    figure("command_p99", percentile(latencies, 0.99), "ms");

    // Idle: connected, nothing to do.
    sim.close();  // the control line's reads would count as ours
    measurePhase("idle", idleSeconds, true);

    // A noise flood at line rate.
    if (!sim.open() || !sim.setFlood(true))
        fail("flood: " + sim.lastError());
    sim.close();
    measurePhase("flood", floodSeconds, false);
    if (!sim.open() || !sim.setFlood(false))
        fail("flood off: " + sim.lastError());

    engine->disconnect();
    listener.waitFor(StatusConnectionClosed, &seen);
#if MERLIN_BENCH_REPORT
    // The report after "Ready": the port opened again and the figures read
    // frame by frame, beside the line time of its frames and replies.
    std::vector<double> reports;
    for (int i = 0; i < 10; ++i) {
        const uint64_t start = bench::nowMicroseconds();
        MountSession session;
        if (!session.open(kMountPort))
            fail("the report cannot open COM7");
        const std::vector<MountFigure> figures = readMountFigures(session);
        session.close();
        reports.push_back(static_cast<double>(bench::nowMicroseconds() - start) / 1000.0);
        for (const MountFigure& f : figures)
            if (!f.answered)
                fail("the report's " + f.key + " was not answered");
    }
    const double reportFloorMs = kReportBytes * kByteUs / 1000.0 + kReportFrames * latencyMs;
    figure("report_median", percentile(reports, 0.5), "ms");
    figure("report_floor", reportFloorMs, "ms");
    figure("report_ratio", percentile(reports, 0.5) / reportFloorMs, "x");
#endif
#ifndef _WIN32
    const long peak = bench::peakResidentKb();
    if (peak >= 0)
        figure("peak_rss", static_cast<double>(peak), "kB");
#endif
    if (!engine->stopThreads(20000))
        fail("engine did not stop");
    engine->releaseLocks();
    delete engine;
    return 0;
}
