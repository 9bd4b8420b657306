// `merlintest --check N`: the engine run exactly as the dialog's Connect runs
// it, with the console in place of the dialog. Every status the engine reports
// is printed as it comes (no mailbox: nothing is overwritten), on its own
// line after the milliseconds since start. "Ready" ends it with a disconnect,
// as Disconnect would; an error ends it with the port closed.
#pragma once

#include "platform/platform.h"

class OutputWriter;

// Exit codes of a check.
constexpr int kCheckReady = 0;
constexpr int kCheckFailed = 1;
constexpr int kCheckInterrupted = -1;
// A pipe, event or thread could not be created; errno tells why.
constexpr int kCheckCannotStart = -2;

// Runs the check of COM `port` (1 to 256), queueing its statuses on `out`,
// until the engine reports "Ready" or an error, or `interrupted` is set.
// Returns kCheckReady, kCheckFailed, kCheckInterrupted or kCheckCannotStart;
// the engine's threads have ended and the port is closed by then.
int runConsoleCheck(unsigned port, OutputWriter* out, platform::Event* interrupted);
