#include "app/console_preflight.h"

#include <cstring>
#include <string>

#include "app/console_check.h"
#include "app/frame_trace.h"
#include "app/output_writer.h"

namespace {

// Queues text of any length, in pieces a line of the writer holds.
void write(OutputWriter* out, const std::string& text)
{
    for (size_t at = 0; at < text.size(); at += OutputWriter::kLineSize - 1)
        out->add(text.substr(at, OutputWriter::kLineSize - 1).c_str());
}

}  // namespace

int runConsolePreflight(unsigned port, const ConsolePreflight& how, OutputWriter* out, OutputWriter* notices,
                        platform::Event* interrupted)
{
    MountSession session;
    if (!session.open(port)) {
        char reason[OutputWriter::kLineSize];
        platform::serialOpenFailure(reason, sizeof reason);
        write(notices, std::string("merlintest: cannot open the port again for the report") +
                           (reason[0] != '\0' ? std::string(": ") + reason : std::string()) + "\n");
        return kCheckFailed;
    }
    PreflightPlan plan;
    plan.shutter = how.shutter;
    if (how.selfTest)
        write(notices, "merlintest: " + describePlan(plan) + "\n");
    PreflightProgress progress;
    if (!how.json) {
        progress.figure = [out](const MountFigure& figure) { write(out, figureLine(figure)); };
        progress.step = [out](const PreflightStep& step) { write(out, stepLine(step)); };
    }
    const PreflightResult result = runPreflight(session, plan, how.selfTest, interrupted, progress);
    session.close();
    write(out, how.json ? preflightJson(result) : summaryLine(result));
    if (result.interrupted)
        return kCheckInterrupted;
    if (result.lost || (how.selfTest && !result.passed()))
        return kCheckFailed;
    return kCheckReady;
}
