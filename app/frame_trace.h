// The frame trace: every frame written to the mount and every reply read back,
// one line each, with the milliseconds since the program started and the bytes
// escaped ("\r" shown as \r), and why a port did not open when the system
// says (marked "!"). It listens on the serial trace hook; the entry
// point gives it a sink (standard error for `merlintest --trace`, the
// debugger output on Windows).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Receives one whole line, ending in '\n'; called on the engine thread (frames)
// and the port reader thread (replies), so it must be safe to call from both.
typedef void (*TraceSink)(const char* line);

// Longest line a sink receives, the terminating zero included.
constexpr size_t kTraceLineSize = 256;

void startFrameTrace(TraceSink sink);
void stopFrameTrace();

// A second listener on every serial call, beside the trace: the handshake's
// diagnosis watches the frames through it. Either may run without the other;
// null removes it.
void setFrameObserver(platform::SerialTrace observer);
// A line of the program's own in the trace, marked "!" as a port's note is,
// taken as it is (escaped already); nothing when no trace runs.
void traceNote(const char* text);

// Milliseconds on the monotonic clock since the first call; the entry point
// calls it first thing, so the trace and the console count from its start.
uint64_t programMilliseconds();

// Writes the bytes to `out` escaped: printable ASCII as it is, backslash as \\,
// CR, LF and tab as \r, \n and \t, anything else as \xHH. Cuts the text to
// `size` (zero included) and returns its length.
size_t escapeBytes(const uint8_t* bytes, size_t count, char* out, size_t size);
