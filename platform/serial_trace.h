// The serial trace hook, shared by both backends: every serial operation
// reports itself through traced().
#pragma once

namespace platform {

// Calls the hook, when one is set, and returns `succeeded`.
bool traced(const char* operation, long argument, bool succeeded);

}  // namespace platform
