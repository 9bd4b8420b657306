#include "preflight/preflight.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "app/frame_trace.h"
#include "engine/frames.h"

namespace {

// How long a stopped axis may take to say so: a slow slew stops at once, a
// fast one brakes for a fraction of a second.
constexpr uint32_t kStopWithinMs = 1000;
constexpr uint32_t kStopPollMs = 20;
// A moved axis went 50 % to 200 % of the way the rate and the time give.
constexpr double kLeastShare = 0.5;
constexpr double kMostShare = 2.0;
// Below this share of the expected movement an axis did not move at all.
constexpr double kStandingShare = 0.1;
// A stopped axis may read a count or two apart (a reading taken mid-step).
constexpr int32_t kStillCounts = 2;
// How long the shutter is held open.
constexpr uint32_t kShutterMs = 200;
constexpr int32_t kPositionSpan = 1 << 24;

std::string escaped(const std::string& bytes)
{
    std::string text(4 * bytes.size() + 1, '\0');
    text.resize(escapeBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &text[0], text.size()));
    return text;
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

// What came back for a frame, for a line: the reply, or why there is none.
std::string replyShown(const Exchange& exchange)
{
    switch (exchange.answer) {
    case Answer::Lost:
        return "the line went away";
    case Answer::NoReply:
        return exchange.received.empty() ? format("nothing in %u ms", MountSession::kReplyTimeoutMs)
                                         : escaped(exchange.received) + " (no reply)";
    default:
        return escaped(exchange.received);
    }
}

// ":f1\r" not answered: "no reply to :f1\r", "!2 to :f1\r"...
std::string unanswered(const Exchange& exchange)
{
    if (exchange.answer == Answer::Refused)
        return escaped(exchange.frame) + " answered " + escaped(exchange.received) + " (refused)";
    if (exchange.answer == Answer::Lost)
        return "the line went away at " + escaped(exchange.frame);
    return "no reply to " + escaped(exchange.frame) +
           (exchange.received.empty() ? std::string() : ", only " + escaped(exchange.received));
}

unsigned replyByte(const std::string& reply)
{
    return hexNibble(reply[1]) * 16u + hexNibble(reply[2]);
}

// ":f" status: flags (slew 1, backwards 2, fast 4), running, initialised.
bool statusRunning(const Exchange& exchange)
{
    const std::string reply = exchange.reply();
    return !reply.empty() && (hexNibble(reply[2]) & 1) != 0;
}

bool statusInitialised(const Exchange& exchange)
{
    const std::string reply = exchange.reply();
    return !reply.empty() && (hexNibble(reply[3]) & 1) != 0;
}

std::string statusText(const std::string& reply)
{
    const unsigned flags = hexNibble(reply[1]);
    std::string text = (hexNibble(reply[2]) & 1) != 0 ? "running" : "at rest";
    text += (flags & 1) != 0 ? ", slew " : ", goto ";
    text += (flags & 4) != 0 ? "fast" : "slow";
    text += (flags & 2) != 0 ? " backwards" : " forwards";
    if ((hexNibble(reply[3]) & 1) == 0)
        text += ", not initialised";
    return text;
}

// Counts between two positions, the shorter way round the 24-bit count.
int32_t countsBetween(int32_t from, int32_t to)
{
    int32_t moved = (to - from) % kPositionSpan;
    if (moved >= kPositionSpan / 2)
        moved -= kPositionSpan;
    if (moved < -kPositionSpan / 2)
        moved += kPositionSpan;
    return moved;
}

MountFigure readFigure(MountSession& session, const char* key, const char* label, char letter, int axis,
                       const std::vector<MountFigure>& known)
{
    MountFigure figure;
    figure.key = key;
    figure.label = label;
    figure.axis = axis;
    figure.exchange = session.exchange(letter, axis == 0 ? 1 : axis);
    figure.answered = figure.exchange.accepted();
    if (!figure.answered) {
        figure.value = "not answered";
        return figure;
    }
    const std::string reply = figure.exchange.reply();
    switch (letter) {
    case 'e':
        figure.number = replyValue24(figure.exchange);
        figure.value = format("version %.2s.%.2s, model %.2s", reply.c_str() + 1, reply.c_str() + 3, reply.c_str() + 5);
        break;
    case 'g':
        figure.number = replyByte(reply);
        figure.value = std::to_string(figure.number);
        break;
    case 'f':
        figure.number = hexNibble(reply[1]) * 256 + hexNibble(reply[2]) * 16 + hexNibble(reply[3]);
        figure.value = statusText(reply);
        break;
    case 'j': {
        figure.number = replyPosition(figure.exchange);
        figure.value = format("%+lld counts", static_cast<long long>(figure.number));
        // In degrees when the axis said how many counts a turn has.
        for (const MountFigure& counts : known)
            if (counts.key == "counts_per_revolution" && counts.axis == axis && counts.answered && counts.number > 0)
                figure.value += format(" (%+.3f deg)", 360.0 * double(figure.number) / double(counts.number));
        break;
    }
    default:
        figure.number = replyValue24(figure.exchange);
        figure.value = std::to_string(figure.number);
        break;
    }
    return figure;
}

const MountFigure* findFigure(const std::vector<MountFigure>& figures, const char* key, int axis)
{
    for (const MountFigure& figure : figures)
        if (figure.key == key && figure.axis == axis)
            return &figure;
    return nullptr;
}

// A jog's direction as the dialog's arrow of the same name moves the mount:
// up and down turn axis 2, right and left axis 1; down and left backwards.
struct Jog {
    int axis;
    const char* name;
    bool backwards;
};
constexpr Jog kJogs[] = {{1, "right", false}, {1, "left", true}, {2, "up", false}, {2, "down", true}};

// The slow slew an axis jogs at: its step period and the counts a second
// that period gives, from the axis's own counts a turn and timer frequency.
struct JogRate {
    bool known = false;
    std::string why;  // when not known
    uint32_t period = 0;
    double countsPerSecond = 0;
    double countsPerDegree = 0;
};

JogRate jogRate(const std::vector<MountFigure>& figures, int axis, double degreesPerSecond)
{
    JogRate rate;
    const MountFigure* counts = findFigure(figures, "counts_per_revolution", axis);
    const MountFigure* timer = findFigure(figures, "timer_frequency", axis);
    for (const MountFigure* figure : {counts, timer}) {
        if (figure == nullptr || !figure->answered || figure->number <= 0) {
            rate.why = "cannot work out a jog rate: " + (figure == nullptr
                                                             ? std::string("a figure is missing")
                                                             : escaped(figure->exchange.frame) + " " + figure->value);
            return rate;
        }
    }
    rate.countsPerDegree = double(counts->number) / 360.0;
    const double period = std::round(double(timer->number) / (rate.countsPerDegree * degreesPerSecond));
    rate.period = static_cast<uint32_t>(std::min(std::max(period, 1.0), double(0xFFFFFF)));
    rate.countsPerSecond = double(timer->number) / double(rate.period);
    rate.known = true;
    return rate;
}

class SelfTest {
public:
    SelfTest(MountSession& session, const PreflightPlan& plan, platform::Event* stop, PreflightResult& result,
             const PreflightProgress& progress)
        : session_(session), plan_(plan), stop_(stop), result_(result), progress_(progress)
    {
    }

    void run()
    {
        result_.selfTestRan = true;
        if (!controller())
            return finish();
        JogRate rates[2] = {jogRate(result_.figures, 1, plan_.degreesPerSecond),
                            jogRate(result_.figures, 2, plan_.degreesPerSecond)};
        for (const Jog& jog : kJogs)
            if (!this->jog(jog, rates[jog.axis - 1]))
                return finish();
        if (!staysStopped())
            return finish();
        shutter();
        finish();
    }

private:
    // The stop event is set: Ctrl-C, SIGTERM or Cancel.
    bool stopAsked() { return stop_ != nullptr && platform::waitEvent(stop_, 0) == platform::WaitFirst; }
    // Waits, ending early when asked to stop; false then.
    bool pause(uint32_t ms)
    {
        if (stop_ == nullptr) {
            platform::sleepMilliseconds(ms);
            return true;
        }
        return platform::waitEvent(stop_, ms) != platform::WaitFirst;
    }

    void add(const std::string& name, bool passed, const std::string& detail)
    {
        PreflightStep step;
        step.name = name;
        step.passed = passed;
        step.detail = detail;
        result_.steps.push_back(step);
        if (progress_.step)
            progress_.step(result_.steps.back());
    }

    // Sends a frame of the test; anything but "=" ends the test with both
    // axes stopped (the caller returns false).
    bool expect(const std::string& step, Exchange* out, char letter, int axis, const char* data = "")
    {
        *out = session_.exchange(letter, axis, data);
        return expected(step, *out);
    }
    bool expectValue(const std::string& step, Exchange* out, char letter, int axis, uint32_t value)
    {
        *out = session_.exchangeValue(letter, axis, value);
        return expected(step, *out);
    }
    bool expected(const std::string& step, const Exchange& exchange)
    {
        if (exchange.accepted())
            return true;
        result_.lost = result_.lost || exchange.answer == Answer::Lost;
        add(step, false, "unexpected: " + unanswered(exchange));
        abort_ = true;
        return false;
    }
    bool interrupted(const std::string& step)
    {
        if (!stopAsked())
            return false;
        result_.interrupted = true;
        add(step, false, "stopped on request");
        abort_ = true;
        return true;
    }

    bool controller()
    {
        const MountFigure* firmware = findFigure(result_.figures, "firmware", 0);
        if (firmware == nullptr || !firmware->answered) {
            add("controller", false,
                firmware == nullptr ? "no firmware figure"
                                    : "the controller did not say its firmware: " + unanswered(firmware->exchange));
            // It may still move: the axes are tried all the same.
            return !session_.lost();
        }
        add("controller", true, "firmware " + firmware->value);
        return true;
    }

    bool jog(const Jog& jog, const JogRate& rate)
    {
        const std::string name = format("axis %d %s", jog.axis, jog.name);
        const char channel = static_cast<char>('0' + jog.axis);
        if (!rate.known) {
            add(name, false, rate.why);
            return true;
        }
        // Never further than kMaxJogDegrees, whatever the plan says.
        const uint32_t jogMs = static_cast<uint32_t>(
            std::min(double(plan_.jogMs), 1000.0 * kMaxJogDegrees * rate.countsPerDegree / rate.countsPerSecond));
        Exchange before, setup, period, start, during, brake, after;
        if (!expect(name, &before, 'f', jog.axis))
            return false;
        if (statusRunning(before)) {
            add(name, false, format("axis %d was running before the jog", jog.axis));
            abort_ = true;
            return false;
        }
        // A controller powered up since the last handshake takes no motion
        // until its axis is initialised, as the handshake does.
        Exchange initialise;
        if (!statusInitialised(before) && !expect(name, &initialise, 'F', jog.axis))
            return false;
        Exchange from;
        if (!expect(name, &from, 'j', jog.axis))
            return false;
        const char mode[3] = {'1', jog.backwards ? '1' : '0', '\0'};
        if (!expect(name, &setup, 'G', jog.axis, mode) || !expectValue(name, &period, 'I', jog.axis, rate.period))
            return false;
        if (interrupted(name))
            return false;
        const uint64_t started = platform::nowMilliseconds();
        if (!expect(name, &start, 'J', jog.axis))
            return false;
        if (!pause(jogMs / 2)) {
            interrupted(name);
            return false;
        }
        if (!expect(name, &during, 'f', jog.axis))
            return false;
        const bool ranDuring = statusRunning(during);
        const uint64_t now = platform::nowMilliseconds();
        if (now < started + jogMs && !pause(static_cast<uint32_t>(started + jogMs - now))) {
            interrupted(name);
            return false;
        }
        if (!expect(name, &brake, 'K', jog.axis))
            return false;
        const uint64_t stopped = platform::nowMilliseconds();
        // It must say it stopped, and soon.
        bool halted = false;
        Exchange status;
        while (!halted) {
            if (!expect(name, &status, 'f', jog.axis))
                return false;
            halted = !statusRunning(status);
            if (!halted && platform::nowMilliseconds() - stopped >= kStopWithinMs)
                break;
            if (!halted && !pause(kStopPollMs)) {
                interrupted(name);
                return false;
            }
        }
        const uint32_t haltMs = static_cast<uint32_t>(platform::nowMilliseconds() - stopped);
        if (!halted) {
            add(name, false,
                format("axis %d does not stop: still running %u ms after :K%c", jog.axis, haltMs, channel));
            abort_ = true;
            return false;
        }
        if (!expect(name, &after, 'j', jog.axis))
            return false;
        const int32_t moved = countsBetween(replyPosition(from), replyPosition(after));
        const uint32_t ranMs = static_cast<uint32_t>(stopped - started);
        const double expectedCounts = (jog.backwards ? -1.0 : 1.0) * rate.countsPerSecond * ranMs / 1000.0;
        const std::string figures = format("%+d counts (%+.3f deg) in %u ms, expected about %+.0f at period %u", moved,
                                           double(moved) / rate.countsPerDegree, ranMs, expectedCounts, rate.period);
        const double share = double(moved) / expectedCounts;
        if (std::fabs(share) < kStandingShare)
            add(name, false, format("axis %d did not move: ", jog.axis) + figures);
        else if (share < 0)
            add(name, false, format("axis %d moved the wrong way: ", jog.axis) + figures);
        else if (std::abs(moved) > kMaxJogDegrees * rate.countsPerDegree)
            add(name, false, format("axis %d ran beyond %.1f deg: ", jog.axis, kMaxJogDegrees) + figures);
        else if (share < kLeastShare || share > kMostShare)
            add(name, false, format("axis %d moved %.0f %% of the expected way: ", jog.axis, 100 * share) + figures);
        else if (!ranDuring)
            add(name, false, format("axis %d moved but did not say it was running: ", jog.axis) + figures);
        else
            add(name, true, figures + format("; running, then stopped in %u ms", haltMs));
        return true;
    }

    bool staysStopped()
    {
        const std::string name = "stays stopped";
        Exchange first[2], status[2], last[2];
        for (int axis = 1; axis <= 2; ++axis)
            if (!expect(name, &first[axis - 1], 'j', axis))
                return false;
        const uint64_t started = platform::nowMilliseconds();
        if (!pause(plan_.stillMs)) {
            interrupted(name);
            return false;
        }
        std::string faults, figures;
        for (int axis = 1; axis <= 2; ++axis) {
            if (!expect(name, &status[axis - 1], 'f', axis) || !expect(name, &last[axis - 1], 'j', axis))
                return false;
            const int32_t crept = countsBetween(replyPosition(first[axis - 1]), replyPosition(last[axis - 1]));
            if (statusRunning(status[axis - 1]))
                faults += format("%saxis %d is running", faults.empty() ? "" : "; ", axis);
            if (std::abs(crept) > kStillCounts)
                faults += format("%saxis %d crept %+d counts", faults.empty() ? "" : "; ", axis, crept);
            figures += format("%saxis %d %+d counts", axis == 1 ? "" : ", ", axis, crept);
        }
        const uint32_t ms = static_cast<uint32_t>(platform::nowMilliseconds() - started);
        if (!faults.empty())
            add(name, false, faults + format(" in %u ms after the stop", ms));
        else
            add(name, true, figures + format(" in %u ms, both at rest", ms));
        return faults.empty();
    }

    void shutter()
    {
        const std::string name = "shutter";
        switch (plan_.shutter) {
        case ShutterInterface::AuxOutput:
            return lineShutter(name, 'O', 'o', "auxiliary output");
        case ShutterInterface::Adapter:
            return lineShutter(name, 'X', 'x', "adapter's exposure line");
        case ShutterInterface::RtsCable: {
            const bool opened = session_.setShutterLine(true);
            pause(kShutterMs);
            const bool closed = session_.setShutterLine(false);
            if (opened && closed)
                add(name, true, "RTS raised and lowered (DTR low); the camera should have fired");
            else
                add(name, false,
                    "the port refused its RTS line: it has no modem lines (a pseudo-terminal or a "
                    "network port)");
            return;
        }
        case ShutterInterface::None:
            return;
        }
    }

    // Sets the exposure line through `set`, reads it back through `get`.
    void lineShutter(const std::string& name, char set, char get, const char* what)
    {
        Exchange on, onRead, off, offRead;
        if (!expect(name, &on, set, 1, "1") || !expect(name, &onRead, get, 1))
            return;
        pause(kShutterMs);
        if (!expect(name, &off, set, 1, "0") || !expect(name, &offRead, get, 1))
            return;
        const bool wasOn = (hexNibble(onRead.reply()[1]) & 1) != 0;
        const bool isOff = (hexNibble(offRead.reply()[1]) & 1) == 0;
        const std::string figures =
            format("%s on (%s %s), off (%s %s)", what, escaped(onRead.frame).c_str(), escaped(onRead.received).c_str(),
                   escaped(offRead.frame).c_str(), escaped(offRead.received).c_str());
        add(name, wasOn && isOff, (wasOn && isOff ? "" : "the line did not follow: ") + figures);
    }

    // Both axes stopped at once after a fault or a stop; the test's last
    // frames, sent whatever has gone wrong.
    void finish()
    {
        if (!abort_)
            return;
        for (char letter : {'K', 'L'})
            for (int axis = 1; axis <= 2; ++axis)
                session_.exchange(letter, axis);
        // An axis the stop frames did not stop is the user's to stop.
        std::string running;
        for (int axis = 1; axis <= 2; ++axis) {
            const Exchange status = session_.exchange('f', axis);
            if (statusRunning(status))
                running += format("%saxis %d", running.empty() ? "" : " and ", axis);
        }
        if (!running.empty())
            add("stop", false, running + " still running after :K and :L: switch the mount off");
    }

    MountSession& session_;
    const PreflightPlan& plan_;
    platform::Event* stop_;
    PreflightResult& result_;
    const PreflightProgress& progress_;
    bool abort_ = false;
};

void appendJsonString(std::string* out, const std::string& text)
{
    *out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c == '\r') {
            *out += "\\r";
        } else if (c == '\n') {
            *out += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            // Device bytes may be anything: each one stays one code point.
            *out += format("\\u%04x", c);
        } else {
            *out += static_cast<char>(c);
        }
    }
    *out += '"';
}

}  // namespace

bool PreflightResult::passed() const
{
    if (steps.empty() || interrupted || lost)
        return false;
    for (const PreflightStep& step : steps)
        if (!step.passed)
            return false;
    return true;
}

std::vector<MountFigure> readMountFigures(MountSession& session, const PreflightProgress& progress,
                                          platform::Event* stop)
{
    struct Item {
        const char* key;
        const char* label;
        char letter;
    };
    static const Item kAxisItems[] = {
        {"counts_per_revolution", "counts per revolution", 'a'},
        {"timer_frequency", "timer frequency (Hz)", 'b'},
        {"high_speed_ratio", "high-speed ratio", 'g'},
        {"sidereal_period", "sidereal period (ticks)", 'D'},
        {"status", "status", 'f'},
        {"position", "position", 'j'},
    };
    std::vector<MountFigure> figures;
    figures.push_back(readFigure(session, "firmware", "firmware", 'e', 0, figures));
    if (progress.figure)
        progress.figure(figures.back());
    for (int axis = 1; axis <= 2; ++axis) {
        for (const Item& item : kAxisItems) {
            if (stop != nullptr && platform::waitEvent(stop, 0) == platform::WaitFirst)
                return figures;
            figures.push_back(readFigure(session, item.key, item.label, item.letter, axis, figures));
            if (progress.figure)
                progress.figure(figures.back());
        }
    }
    return figures;
}

PreflightResult runPreflight(MountSession& session, const PreflightPlan& plan, bool selfTest, platform::Event* stop,
                             const PreflightProgress& progress)
{
    PreflightResult result;
    result.figures = readMountFigures(session, progress, stop);
    result.lost = session.lost();
    result.interrupted = stop != nullptr && platform::waitEvent(stop, 0) == platform::WaitFirst;
    if (selfTest && !result.lost && !result.interrupted)
        SelfTest(session, plan, stop, result, progress).run();
    result.lost = result.lost || session.lost();
    return result;
}

std::string describePlan(const PreflightPlan& plan)
{
    const double degrees = plan.degreesPerSecond * plan.jogMs / 1000.0;
    return format(
        "The mount will move: each axis %.2f deg each way (at most %.1f deg) at %.2f deg/s, %.1f s of "
        "motion in all; Ctrl-C stops both axes.",
        std::min(degrees, kMaxJogDegrees), kMaxJogDegrees, plan.degreesPerSecond, 4 * plan.jogMs / 1000.0);
}

std::string figureLine(const MountFigure& figure)
{
    const std::string scope = figure.axis == 0 ? "mount" : format("axis %d", figure.axis);
    return format("%-7s %-24s %-34s %s -> %s\n", scope.c_str(), figure.label.c_str(), figure.value.c_str(),
                  escaped(figure.exchange.frame).c_str(), replyShown(figure.exchange).c_str());
}

std::string stepLine(const PreflightStep& step)
{
    return format("%s  %-14s %s\n", step.passed ? "PASS" : "FAIL", step.name.c_str(), step.detail.c_str());
}

std::string summaryLine(const PreflightResult& result)
{
    if (!result.selfTestRan) {
        size_t answered = 0;
        for (const MountFigure& figure : result.figures)
            answered += figure.answered ? 1 : 0;
        return format("report: %zu of %zu figures answered%s\n", answered, result.figures.size(),
                      result.lost          ? "; the line went away"
                      : result.interrupted ? "; stopped on request"
                                           : "");
    }
    size_t passed = 0;
    std::string failed;
    for (const PreflightStep& step : result.steps) {
        if (step.passed)
            ++passed;
        else
            failed += (failed.empty() ? "" : ", ") + step.name;
    }
    if (result.passed())
        return format("self-test PASSED: %zu of %zu steps\n", passed, result.steps.size());
    std::string why = failed.empty() ? std::string() : "; failed: " + failed;
    if (result.interrupted)
        why += "; stopped on request, both axes stopped";
    else if (result.lost)
        why += "; the line went away";
    return format("self-test FAILED: %zu of %zu steps passed", passed, result.steps.size()) + why + "\n";
}

std::string preflightJson(const PreflightResult& result)
{
    std::string out = "{\n  \"figures\": [";
    for (size_t i = 0; i < result.figures.size(); ++i) {
        const MountFigure& figure = result.figures[i];
        out += i == 0 ? "\n    {" : ",\n    {";
        out += "\"key\": ";
        appendJsonString(&out, figure.key);
        out += format(", \"axis\": %d, \"frame\": ", figure.axis);
        appendJsonString(&out, figure.exchange.frame);
        out += ", \"reply\": ";
        appendJsonString(&out, figure.exchange.received);
        out += format(", \"answered\": %s, \"value\": ", figure.answered ? "true" : "false");
        appendJsonString(&out, figure.value);
        // The firmware's is a text, not a number.
        if (figure.answered && figure.key != "firmware")
            out += format(", \"number\": %lld", static_cast<long long>(figure.number));
        out += "}";
    }
    out += "\n  ]";
    if (result.selfTestRan) {
        out += ",\n  \"steps\": [";
        for (size_t i = 0; i < result.steps.size(); ++i) {
            const PreflightStep& step = result.steps[i];
            out += i == 0 ? "\n    {" : ",\n    {";
            out += "\"name\": ";
            appendJsonString(&out, step.name);
            out += format(", \"passed\": %s, \"detail\": ", step.passed ? "true" : "false");
            appendJsonString(&out, step.detail);
            out += "}";
        }
        out += "\n  ]";
    }
    out += format(",\n  \"self_test\": %s,\n  \"interrupted\": %s,\n  \"lost\": %s,\n  \"passed\": %s\n}\n",
                  result.selfTestRan ? "true" : "false", result.interrupted ? "true" : "false",
                  result.lost ? "true" : "false",
                  (result.selfTestRan ? result.passed() : !result.lost) ? "true" : "false");
    return out;
}
