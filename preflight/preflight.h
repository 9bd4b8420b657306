// What the mount is and whether it works: the controller's own figures, each
// with its raw reply, and the self-test that jogs each axis a little each way
// and proves by its position and status that it moved in the direction named,
// by about the expected amount, stopped and stays stopped; then the camera
// shutter. Runs over a MountSession, one frame at a time, after the engine's
// check has let go of the port.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "preflight/mount_session.h"

// One of the controller's figures: what it is, the frame and its reply.
struct MountFigure {
    std::string key;    // for scripts: "firmware", "counts_per_revolution"...
    std::string label;  // for people: "firmware", "counts per revolution"...
    int axis = 0;       // 1 or 2; 0 for the controller as a whole
    Exchange exchange;
    bool answered = false;
    std::string value;  // the decoded figure, or "not answered"
    int64_t number = 0;
};

struct PreflightStep {
    std::string name;  // "controller", "axis 1 right", "stays stopped", "shutter"
    bool passed = false;
    std::string detail;  // the figures that prove it, or what went wrong
};

// The camera interface whose shutter the self-test fires, as the dialog's
// radio buttons number them.
enum class ShutterInterface : int { None = -1, AuxOutput = 0, RtsCable = 1, Adapter = 2 };

struct PreflightPlan {
    // The jog: a slow slew of this many degrees a second for this long, each
    // way on each axis, never more than kMaxJogDegrees an axis.
    double degreesPerSecond = 0.25;
    uint32_t jogMs = 600;
    uint32_t stillMs = 1000;
    ShutterInterface shutter = ShutterInterface::None;
};

constexpr double kMaxJogDegrees = 0.5;

struct PreflightResult {
    std::vector<MountFigure> figures;
    std::vector<PreflightStep> steps;
    bool selfTestRan = false;
    bool interrupted = false;  // Ctrl-C, SIGTERM or Cancel stopped it
    bool lost = false;         // the line went away
    // Every step passed (and there was at least one).
    bool passed() const;
};

// Called as each figure is read and each step ends, on the thread that runs
// the preflight.
struct PreflightProgress {
    std::function<void(const MountFigure&)> figure;
    std::function<void(const PreflightStep&)> step;
};

// Reads every figure; a controller that lacks a command leaves it "not
// answered" and the rest are read on. `stop` (may be null) ends the reading
// after the figure under way.
std::vector<MountFigure> readMountFigures(MountSession& session, const PreflightProgress& progress = {},
                                          platform::Event* stop = nullptr);

// Runs the self-test after reading the figures. `stop` (a manual-reset event,
// may be null) ends it at once: both axes are then stopped before it returns,
// as they are after any fault.
PreflightResult runPreflight(MountSession& session, const PreflightPlan& plan, bool selfTest, platform::Event* stop,
                             const PreflightProgress& progress = {});

// What the self-test will do, said before it starts: how far and how long
// the mount moves.
std::string describePlan(const PreflightPlan& plan);

// The figures and steps as lines of text (each ending in '\n') and as one
// JSON document.
std::string figureLine(const MountFigure& figure);
std::string stepLine(const PreflightStep& step);
std::string summaryLine(const PreflightResult& result);
std::string preflightJson(const PreflightResult& result);
