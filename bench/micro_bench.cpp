// In-process figures with Google Benchmark: the reply parser and reassembly
// throughput, and how long a message waits in the pipe before the engine
// handles it (the engine's wake-up).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "app/interfaces.h"
#include "engine/engine_message.h"
#include "tests/support/engine_test_seam.h"

namespace {

class QuietListener : public TelescopeListener {
public:
    void onStatus(int) override {}
    void onDslrRemoteState(int, int) override {}
    void onDslrTimerState(int, int) override {}
};

// Frames go nowhere; each one is counted, and a waiter can ask for the next.
class BenchEngine : public EngineTestSeam {
public:
    explicit BenchEngine(TelescopeListener* listener) : EngineTestSeam(listener) {}
    ~BenchEngine() override
    {
        stopThreads(20000);
        releaseLocks();
    }
    platform::WaitResult writePort(const uint8_t*, uint32_t) override
    {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            ++frames_;
        }
        changed_.notify_all();
        return platform::WaitFirst;
    }
    void setModemLines(int) override {}
    void waitForFrames(uint64_t count)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [&] { return frames_ >= count; });
    }
    uint64_t frames()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return frames_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t frames_ = 0;
};

// A received stream as a mount sends it: replies, an echo, noise.
std::string receivedStream()
{
    std::string stream;
    while (stream.size() < 4096)
        stream += "=\r=00F915\r:F1\r=\r\n#\x7F!05\r=E803\r";
    return stream;
}

void ReplyParser(benchmark::State& state)
{
    QuietListener listener;
    BenchEngine engine(&listener);
    const std::string stream = receivedStream();
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(stream.data());
    for (auto _ : state) {
        // In Ready every reply is unasked for: parsed and ignored.
        engine.protocolState = Ready;
        for (size_t at = 0; at + kMaxEnginePayload <= stream.size(); at += kMaxEnginePayload)
            benchmark::DoNotOptimize(engine.parseReplyBytes(bytes + at, kMaxEnginePayload));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(ReplyParser);

void Reassembly(benchmark::State& state)
{
    QuietListener listener;
    BenchEngine engine(&listener);
    // Port data messages of 31 bytes, heartbeats and stray bytes; with the
    // port closed each is reassembled and dropped by the dispatcher.
    std::vector<uint8_t> stream;
    while (stream.size() < 4096) {
        stream.push_back(0xDF);
        for (int i = 0; i < kMaxEnginePayload; ++i)
            stream.push_back(static_cast<uint8_t>('0' + i % 10));
        stream.push_back(0xA0);
        stream.push_back(0x00);
        stream.push_back(0x13);
    }
    for (auto _ : state) {
        for (uint8_t byte : stream)
            engine.feedEngineByte(byte);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}
BENCHMARK(Reassembly);

// A STOP call on the user's thread → its frame written by the engine thread.
void CommandThroughThePipe(benchmark::State& state)
{
    QuietListener listener;
    BenchEngine engine(&listener);
    engine.portOpen = true;
    engine.mountReady = true;
    engine.protocolState = Ready;
    for (auto _ : state) {
        const uint64_t next = engine.frames() + 1;
        engine.stop(2);
        engine.waitForFrames(next);
    }
    engine.portOpen = false;
    engine.mountReady = false;
}
BENCHMARK(CommandThroughThePipe)->Iterations(50)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
