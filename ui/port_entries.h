// How the Linux port list names its entries: "COMn", then the device that COMn
// opens when it exists as the dialog opens ("COM33 — /dev/ttyUSB0"), and a
// tooltip that names the device, a link's target included, in any case.
#pragma once

#include <string>

struct PortEntry {
    std::string text;     // UTF-8
    std::string tooltip;  // UTF-8
};

// `name` is the list's own text for the entry ("COM7"), kept at its start.
PortEntry describePortEntry(unsigned portNumber, const char* name);
