// What a COM number opens on this machine, for the Linux program's port list
// and command line (the POSIX backend provides it; the Windows program keeps
// its plain "COMn" list).
#pragma once

#include <cstddef>

namespace platform {

// The device that port N opens (as portDevicePath gives it) and, when that is
// a link of the user's, the link's own target in *target (empty otherwise).
// True when the device exists now; a link to a vanished device does not.
bool portDeviceFound(unsigned portNumber, char* device, size_t deviceSize, char* target, size_t targetSize);

}  // namespace platform
