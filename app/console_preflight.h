// `merlintest --check N --report` and `--self-test`: after the check reached
// "Ready" and let go of the port, the mount's own figures and, on request,
// the self-test, printed a line each as they come, or as one JSON document.
#pragma once

#include "platform/platform.h"
#include "preflight/preflight.h"

class OutputWriter;

struct ConsolePreflight {
    bool selfTest = false;
    bool json = false;
    ShutterInterface shutter = ShutterInterface::None;
};

// Runs on COM `port`: the lines (or the document) go to `out`, the notice
// that the mount will move and why the port did not open to `notices`.
// Returns kCheckReady when the figures were read (and every step of a
// self-test passed), kCheckFailed otherwise, kCheckInterrupted when
// `interrupted` was set; both axes are stopped by then.
int runConsolePreflight(unsigned port, const ConsolePreflight& how, OutputWriter* out, OutputWriter* notices,
                        platform::Event* interrupted);
