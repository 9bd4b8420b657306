#include "platform/serial_trace.h"

#include <atomic>

#include "platform/platform.h"

namespace platform {

static std::atomic<SerialTrace> traceHook{nullptr};

void setSerialTrace(SerialTrace trace)
{
    traceHook = trace;
}

bool traced(const char* operation, long argument, bool succeeded, const uint8_t* bytes, uint32_t count)
{
    SerialTrace trace = traceHook;
    if (trace)
        trace(operation, argument, succeeded, bytes, count);
    return succeeded;
}

}  // namespace platform
