#include "sim/simulator.h"

namespace sim {

namespace {

constexpr size_t kMaxFrame = 32;  // longer input is answered as a length error

}  // namespace

Simulator::Simulator(const Settings& defaults, Clock::time_point start)
    : defaults_(defaults), settings_(defaults), start_(start), lineFreeAt_(start)
{
}

void Simulator::receive(const char* bytes, size_t count, Clock::time_point now)
{
    for (size_t i = 0; i < count; ++i) {
        char c = bytes[i];
        if (c == ':') {
            // A new frame; an unfinished one before it was noise.
            inFrame_ = true;
            frameOverflow_ = false;
            frame_ = ":";
        } else if (!inFrame_) {
            // Between frames: line feeds and stray bytes mean nothing.
        } else if (c == '\r') {
            frame_ += c;
            frameComplete(now);
            inFrame_ = false;
        } else if (frame_.size() < kMaxFrame) {
            frame_ += c;
        } else {
            frameOverflow_ = true;
        }
    }
}
}  // namespace sim
