// The control line: one command a line, from the tests or a user, to read
// the machine and switch its behaviour.
#include "sim/simulator.h"

#include "sim/control_text.h"

#include <sstream>

namespace sim {

void Simulator::resetMachine()
{
    settings_ = defaults_;
    for (Axis& axis : axes_)
        axis = Axis();
    aux_ = lines_ = 0;
    timerMs_ = 0;
    inFrame_ = frameOverflow_ = false;
    frame_.clear();
    output_.clear();
    record_.clear();
    flushRequested_ = true;
    portRequest_ = PortRequest::Restore;  // a vanished device is back
}

bool Simulator::takeFlushRequest()
{
    bool requested = flushRequested_;
    flushRequested_ = false;
    return requested;
}

PortRequest Simulator::takePortRequest()
{
    PortRequest request = portRequest_;
    portRequest_ = PortRequest::None;
    return request;
}

std::string Simulator::control(const std::string& line, Clock::time_point now)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.empty())
        return "error empty command\n";
    const std::string& name = words[0];
    std::string out;
    advance(now);
    if (name == "reset") {
        resetMachine();
        lineFreeAt_ = now;
    } else if (name == "log") {
        // "log us": the times in microseconds, for the benchmarks.
        const bool micro = words.size() > 1 && words[1] == "us";
        for (const RecordEntry& entry : record_)
            out += formatEntry(entry, micro) + "\n";
    } else if (name == "time") {
        // The simulator's clock, as the record counts it, in microseconds.
        // Then the monotonic clock itself, which a native client shares.
        const Clock::time_point at = Clock::now();
        out +=
            "time " + std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(at - start_).count()) + " " +
            std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count()) + "\n";
    } else if (name == "vanish" || name == "restore") {
        portRequest_ = name == "vanish" ? PortRequest::Vanish : PortRequest::Restore;
    } else if (name == "clearlog") {
        record_.clear();
    } else if (name == "state") {
        for (int i = 0; i < 2; ++i) {
            const Axis& axis = axes_[i];
            out += "axis" + std::to_string(i + 1);
            if (axis.moving) {
                out += " moving mode=" + std::to_string(axis.mode) + " reverse=" + std::to_string(axis.reverse) +
                       " rate=" + std::to_string(axis.rate) + "\n";
            } else {
                out += " stopped\n";
            }
        }
        out += "aux " + std::to_string(aux_) + "\n";
        out += "lines " + std::to_string(lines_) + "\n";
        out += "timer " + std::to_string(timerRemaining(now)) + "\n";
    } else if (name == "axis") {
        // One axis as a driver would find it, the position signed from zero.
        if (words.size() != 2 || (words[1] != "1" && words[1] != "2"))
            return "error usage: axis 1|2\n";
        const Axis& axis = axes_[words[1][0] - '1'];
        out += "axis" + words[1] + " position=" + std::to_string(axisPosition(axis, now)) +
               " running=" + std::to_string(axis.moving) + " mode=" + std::to_string(axis.mode) +
               " reverse=" + std::to_string(axis.reverse) + " rate=" + std::to_string(axis.rate) +
               " initialised=" + std::to_string(axis.initialised) + "\n";
    } else if (name == "say") {
        // The rest of the line, spaces included.
        size_t at = line.find("say") + 3;
        if (at < line.size() && line[at] == ' ')
            ++at;
        std::string bytes;
        if (!unescapeBytes(line.substr(at), &bytes))
            return "error bad escape\n";
        schedule(bytes, now, nullptr, false);
    } else {
        std::string why;
        if (!applySetting(settings_, words, &why))
            return "error " + why + "\n";
        rebaseMotion(now);
    }
    return out + "ok\n";
}
}  // namespace sim
