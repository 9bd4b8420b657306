// The serial trace hook, shared by both backends: every serial operation
// reports itself through traced().
#pragma once

#include <cstdint>

namespace platform {

// Calls the hook, when one is set, and returns `succeeded`.
bool traced(const char* operation, long argument, bool succeeded, const uint8_t* bytes = nullptr, uint32_t count = 0);

}  // namespace platform
