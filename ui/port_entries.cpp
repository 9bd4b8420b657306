#include "ui/port_entries.h"

#include "platform/port_names.h"

PortEntry describePortEntry(unsigned portNumber, const char* name)
{
    char device[512];
    char target[512];
    const bool found = platform::portDeviceFound(portNumber, device, sizeof device, target, sizeof target);
    PortEntry entry;
    entry.text = name;
    if (device[0] == '\0') {
        entry.tooltip = std::string(name) + " has no device of its own; a link named com" + std::to_string(portNumber) +
                        " in ~/.config/merlintest/ports gives it one";
        return entry;
    }
    // A link is shown by where it leads: that is the name the user gave it.
    const std::string shown = target[0] != '\0' ? target : device;
    entry.present = found;
    platform::PortDevice about;
    if (found)
        about = platform::describePortDevice(device);
    const std::string product = platform::productName(about);
    if (found)
        entry.text += " \u2014 " + shown + (product.empty() ? "" : " (" + product + ")");
    entry.tooltip = std::string(name) + " opens " + device;
    if (target[0] != '\0')
        entry.tooltip += " \u2192 " + std::string(target);
    if (!found)
        entry.tooltip += " (not present)";
    if (!about.byId.empty())
        entry.tooltip += "\n" + about.byId;
    return entry;
}

int likelyPortEntry(unsigned portCount)
{
    constexpr unsigned kFirstUsbPort = 33;
    constexpr unsigned kLastRfcommPort = 128;
    unsigned firstDevice = 0;
    for (unsigned port = 1; port <= portCount; ++port) {
        char device[512];
        char target[512];
        if (!platform::portDeviceFound(port, device, sizeof device, target, sizeof target))
            continue;
        // Only a link of the user's has a target.
        if (target[0] != '\0')
            return static_cast<int>(port - 1);
        if (firstDevice == 0 && port >= kFirstUsbPort && port <= kLastRfcommPort)
            firstDevice = port;
    }
    return firstDevice != 0 ? static_cast<int>(firstDevice - 1) : 0;
}
