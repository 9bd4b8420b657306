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
    input_.append(bytes, count);
    takeInput(now);
}

void Simulator::takeInput(Clock::time_point now)
{
    size_t used = 0;
    while (used < input_.size() && !outputFull())
        parse(input_[used++], now);
    input_.erase(0, used);
    if (input_.empty() && input_.capacity() > kMaxFrame)
        std::string().swap(input_);  // a burst's buffer is not kept
}

void Simulator::dropInput()
{
    std::string().swap(input_);
    inFrame_ = false;
}

void Simulator::parse(char c, Clock::time_point now)
{
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

}  // namespace sim
