#include "app/console_check.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "app/app_globals.h"
#include "app/app_lifecycle.h"
#include "app/frame_trace.h"
#include "app/output_writer.h"
#include "app/status_codes.h"
#include "engine/telescope_control.h"
#include "preflight/handshake_diagnosis.h"

namespace {

// How long the disconnect after "Ready" may take to report "Connection closed".
constexpr uint32_t kDisconnectWaitMs = 5000;
// The main thread's wait, a long one: every outcome sets an event.
constexpr uint32_t kOutcomeWaitMs = 1000;

// Beside "Error: Cannot open port", why, when the system says; beside
// "Communication error", why the port failed when it failed for good (a
// network peer that closed the connection): one line on standard error,
// stamped as the status it explains and written after it, escaped as the
// trace is (a device name may hold anything).
void reportPortFailure(OutputWriter* out, uint64_t stamp)
{
    char reason[OutputWriter::kLineSize];
    platform::serialOpenFailure(reason, sizeof reason);
    if (reason[0] == '\0')
        return;
    char line[OutputWriter::kLineSize];
    size_t at = static_cast<size_t>(std::snprintf(line, sizeof line, "%6" PRIu64 " ms ", stamp));
    // Room for the newline; an escape is never cut in half.
    at += escapeBytes(reinterpret_cast<const uint8_t*>(reason), std::strlen(reason), line + at, sizeof line - at - 1);
    line[at++] = '\n';
    line[at] = '\0';
    out->reportAfter(line);
}

// Beside "Error: Cannot connect to telescope mount.", which frame went
// unanswered and what came back for it: on standard error and in the trace.
void reportUnanswered(OutputWriter* out, uint64_t stamp)
{
    const std::string why = handshakeDiagnosis();
    if (why.empty())
        return;
    traceNote(why.c_str());
    char line[OutputWriter::kLineSize];
    std::snprintf(line, sizeof line, "%6" PRIu64 " ms %s\n", stamp, why.c_str());
    out->reportAfter(line);
}

// The console as the engine's listener, on the engine thread: queues each
// status for the output's writer (so a stalled terminal never holds the
// engine) and, for the ones that end a check, records it and wakes the main
// thread.
class ConsoleListener final : public TelescopeListener {
public:
    explicit ConsoleListener(OutputWriter* out) : out_(out), outcome_(platform::createEvent(true, false)) {}
    ~ConsoleListener() { platform::closeEvent(outcome_); }

    void onStatus(int code) override
    {
        const char16_t* text = statusText(static_cast<unsigned>(code));
        if (text == nullptr)
            return;
        // The status texts are ASCII.
        char line[128];
        size_t at = 0;
        for (; text[at] != u'\0' && at + 1 < sizeof line; ++at)
            line[at] = static_cast<char>(text[at]);
        line[at] = '\0';
        char status[OutputWriter::kLineSize];
        const uint64_t stamp = programMilliseconds();
        std::snprintf(status, sizeof status, "%6" PRIu64 " ms %s\n", stamp, line);
        out_->add(status);
        if (code == StatusCannotOpenPort || code == StatusCommunicationError)
            reportPortFailure(out_, stamp);
        else if (code == StatusCannotConnect)
            reportUnanswered(out_, stamp);
        // The first outcome counts; "Connection closed" ends the disconnect
        // that follows it.
        if (endsCheck(code) && last_.load() < 0) {
            last_ = code;
            platform::setEvent(outcome_);
        } else if (code == StatusConnectionClosed) {
            platform::setEvent(outcome_);
        }
    }
    void onDslrRemoteState(int, int) override {}
    void onDslrTimerState(int, int) override {}

    static bool endsCheck(int code)
    {
        return code == StatusReady || code == StatusCannotOpenPort || code == StatusCannotConnect ||
               code == StatusUnknownMount || code == StatusCommunicationError;
    }

    platform::Event* outcome() const { return outcome_; }
    int last() const { return last_; }
    void rearm() { platform::resetEvent(outcome_); }

private:
    OutputWriter* out_;
    platform::Event* outcome_;
    std::atomic<int> last_{-1};
};

// Waits for the listener's event (or `limitMs`) or the interrupt; true when
// interrupted.
bool waitForOutcome(ConsoleListener& console, platform::Event* interrupted, uint32_t limitMs)
{
    const uint64_t start = platform::nowMilliseconds();
    for (;;) {
        const platform::WaitResult result =
            interrupted != nullptr ? platform::waitEitherEvent(console.outcome(), interrupted, kOutcomeWaitMs)
                                   : platform::waitEvent(console.outcome(), kOutcomeWaitMs);
        if (result == platform::WaitFirst)
            return false;
        if (result == platform::WaitSecond)
            return true;
        if (platform::nowMilliseconds() - start >= limitMs)
            return false;
    }
}

}  // namespace

int runConsoleCheck(unsigned port, OutputWriter* out, platform::Event* interrupted)
{
    // Freed only once the engine thread has ended, which is when shutdown
    // releases the engine; otherwise left to the process's end.
    ConsoleListener* listener = new ConsoleListener(out);
    ConsoleListener& console = *listener;
    if (console.outcome() == nullptr || !startConsoleApplication(listener)) {
        const int error = errno;
        shutdownApplication();
        if (theTelescopeControl == nullptr)
            delete listener;
        errno = error;
        return kCheckCannotStart;
    }
    startHandshakeDiagnosis();
    theTelescopeControl->connect(port);
    bool stopped = waitForOutcome(console, interrupted, 0xFFFFFFFFu);
    const int outcome = console.last();
    // "Ready" ends with a disconnect, as Disconnect would; so does a mount
    // that answered an error, since the engine leaves that port open. A port
    // the engine gave up on is closed already.
    if (!stopped && (outcome == StatusReady || outcome == StatusCommunicationError)) {
        console.rearm();
        theTelescopeControl->disconnect();
        stopped = waitForOutcome(console, interrupted, kDisconnectWaitMs);
    }
    // Closes whatever is still open, sending nothing more.
    shutdownApplication();
    stopHandshakeDiagnosis();
    if (theTelescopeControl == nullptr)
        delete listener;
    if (stopped)
        return kCheckInterrupted;
    return outcome == StatusReady ? kCheckReady : kCheckFailed;
}
