// The output side: a frame's answer shaped as the settings ask (echo, noise,
// overlong data, latency, split pieces, pacing, a flood) into timed chunks.
#include "sim/simulator.h"

#include "sim/line_codes.h"

#include <algorithm>

namespace sim {

namespace {

constexpr auto kSplitGap = std::chrono::milliseconds(10);
constexpr auto kByteTime = std::chrono::microseconds(1042);  // 10 bits at 9600 baud
// Between replies: none of "=", "!" or ":", so a sound parser skips them.
const std::string kNoise = "\n#\x7F";
// A flood is queued in blocks of this many bytes (one chunk each when not paced).
constexpr size_t kFloodBlock = 256;

}  // namespace

void Simulator::frameComplete(Clock::time_point now)
{
    record(true, frame_, now);
    if (settings_.silent)
        return;
    advance(now);
    if (settings_.echo)
        schedule(frame_, now, nullptr);
    std::string reply = frameOverflow_ ? error(kErrorDataLength) : answer(frame_, now);
    if (settings_.overlong > 0) {
        std::string extra;
        for (unsigned i = 0; i < settings_.overlong; ++i)
            extra += char('0' + i % 10);
        reply.insert(reply.size() - 1, extra);
    }
    std::string bytes = (settings_.noise ? kNoise : std::string()) + reply;
    schedule(bytes, now + std::chrono::milliseconds(settings_.latencyMs), &reply);
}

// Queues bytes behind whatever is already waiting; `shaped` bytes go out in
// pieces and at the pace the settings ask. `reply` is recorded when the last
// piece has been written.
void Simulator::schedule(const std::string& bytes, Clock::time_point notBefore, const std::string* reply, bool shaped)
{
    Clock::time_point t = std::max(notBefore, lineFreeAt_);
    bool pace = shaped && settings_.pace;
    size_t step = shaped && settings_.split > 0 ? settings_.split : bytes.size();
    for (size_t i = 0; i < bytes.size(); i += step) {
        if (i > 0)
            t += kSplitGap;
        std::string piece = bytes.substr(i, step);
        if (pace) {
            for (char c : piece) {
                output_.push_back(Chunk{t, std::string(1, c), false, {}});
                t += kByteTime;
            }
        } else {
            output_.push_back(Chunk{t, piece, false, {}});
        }
    }
    lineFreeAt_ = t;
    if (reply && !output_.empty()) {
        output_.back().endsReply = true;
        output_.back().reply = *reply;
    }
}

void Simulator::written(const Chunk& chunk, Clock::time_point now)
{
    if (chunk.endsReply)
        record(false, chunk.reply, now);
}

void Simulator::topUpFlood(Clock::time_point now)
{
    // Paced, each byte is a chunk of its own; a few blocks ahead are enough.
    if (!settings_.flood)
        return;
    std::string block;
    while (block.size() < kFloodBlock)
        block += kNoise;
    while (output_.size() < (settings_.pace ? kFloodBlock : 4))
        schedule(block, now, nullptr);
}
}  // namespace sim
