// The simulator's model, as the data port and the control port feed it: a
// script of received bytes, control lines, writes of what is due and steps
// of a clock of its own, so that hours of motion pass in one run. After
// each step the model's bounds and its books must hold.
#include "sim/simulator.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const sim::Clock::time_point kStart(std::chrono::hours(1));
// The clock stays this far from the end of what it can count.
constexpr auto kLatest = std::chrono::hours(24 * 365 * 200);

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkBooks(const sim::Simulator& model, sim::Clock::time_point now)
{
    size_t costs = 0;
    for (const sim::Chunk& chunk : model.output())
        costs += chunk.cost;
    check(costs == model.queuedBytes());
    check(model.readyForInput() || model.outputFull());
    const sim::FrameRecord& record = model.frameRecord();
    check(record.entries().size() <= sim::FrameRecord::kMaxEntries);
    check(record.bytes() <= sim::FrameRecord::kMaxBytes || record.entries().size() == 1);
    check(model.nextAxisEvent() > now);  // whatever was over has been ended
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sim::Simulator model(sim::Settings(), kStart);
    sim::Clock::time_point now = kStart;
    size_t at = 0;
    while (at < size) {
        const uint8_t op = data[at++];
        const size_t count = std::min<size_t>(size - at, (op >> 2) + 1);
        switch (op & 3) {
        case 0:  // bytes on the data port
            model.receive(reinterpret_cast<const char*>(data + at), count, now);
            at += count;
            break;
        case 1: {  // a control line, up to its first newline
            std::string line(reinterpret_cast<const char*>(data + at), count);
            at += count;
            line = line.substr(0, line.find('\n'));
            if (line.find_first_not_of(" \t") != std::string::npos)
                model.control(line, now);
            break;
        }
        case 2: {  // the clock moves on, by 2^(op >> 2) ns and a little
            const auto step = std::chrono::nanoseconds((int64_t(1) << ((op >> 2) % 56)) + (op >> 2));
            if (now - kStart + step < kLatest)
                now += step;
            break;
        }
        case 3: {  // the port writes what is due, `count` pieces at most
            model.topUpFlood(now);
            for (size_t i = 0; i < count && !model.output().empty() && model.output().front().due <= now; ++i) {
                sim::Chunk chunk = std::move(model.output().front());
                model.output().pop_front();
                model.written(chunk, now);
            }
            model.takeInput(now);
            break;
        }
        }
        model.advance(now);
        checkBooks(model, now);
    }
    return 0;
}
