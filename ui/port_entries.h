// How the Linux port list names its entries: "COMn", then the device that COMn
// opens when it exists as the list opens, with the product its kernel reports
// ("COM33 — /dev/ttyUSB0 (FTDI FT232R USB UART)"), and a tooltip that names
// the device, a link's target included, and its /dev/serial/by-id name.
#pragma once

#include <string>

struct PortEntry {
    std::string text;          // UTF-8
    std::string closedText;    // the closed box's: "COM33 ttyUSB0", or the name alone
    std::string tooltip;       // UTF-8
    bool present = false;      // its device exists now
    bool controlLine = false;  // the simulator's control line: present, but no mount
};

// `name` is the list's own text for the entry ("COM7"), kept at its start.
// Names that devices or users chose are escaped where they are no text.
PortEntry describePortEntry(unsigned portNumber, const char* name);

// The entry the Linux dialog starts on (0-based), the port a user most likely
// means: the first present one among the user's links (not the simulator's
// control line), then the first present USB-serial (COM33-64), modem-class
// (COM65-96), Bluetooth (COM97-128) and board UART (COM129-160) device; COM1
// when none is.
int likelyPortEntry(unsigned portCount);
