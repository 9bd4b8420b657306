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

// Makes a device path a port of this process, ahead of the user's links and
// the table, and returns its number: the table's number when the path leads
// to one of its devices, else the highest one (kMaxPortNumber). Opened like
// any port: serial devices only, lock files honoured. Call it before any port
// opens; a second call replaces the first, and a null path gives the number
// back to its link and the table.
unsigned adoptDevicePath(const char* path);

}  // namespace platform
