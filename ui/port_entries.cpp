#include "ui/port_entries.h"

#include "platform/port_names.h"

PortEntry describePortEntry(unsigned portNumber, const char* name)
{
    char device[512];
    char target[512];
    const bool found = platform::portDeviceFound(portNumber, device, sizeof device, target, sizeof target);
    PortEntry entry;
    entry.text = name;
    entry.closedText = name;
    if (device[0] == '\0') {
        entry.tooltip = std::string(name) + " has no device of its own; a link named com" + std::to_string(portNumber) +
                        " in ~/.config/merlintest/ports gives it one";
        return entry;
    }
    // A link is shown by where it leads: that is the name the user gave it.
    const std::string shown = platform::displayText(target[0] != '\0' ? target : device);
    entry.present = found;
    platform::PortDevice about;
    if (found)
        about = platform::describePortDevice(device);
    entry.controlLine = about.simulatorControl;
    const std::string product = platform::displayText(platform::productName(about));
    if (found) {
        entry.text += " \u2014 " + shown + (product.empty() ? "" : " (" + product + ")");
        // A network port by its address, a device by the name /dev gives it.
        const bool network = std::string(target).find("://") != std::string::npos;
        entry.closedText += " " + (network ? shown : platform::displayText(about.kernelName));
    }
    entry.tooltip = std::string(name) + " opens " + platform::displayText(device);
    if (target[0] != '\0')
        entry.tooltip += " \u2192 " + shown;
    if (!found)
        entry.tooltip += " (not present)";
    if (!about.byId.empty())
        entry.tooltip += "\n" + platform::displayText(about.byId);
    return entry;
}

int likelyPortEntry(unsigned portCount)
{
    // The table's families in the order a mount is most likely behind them.
    constexpr unsigned kFirstUsbPort = 33;
    constexpr unsigned kLastBoardUartPort = 160;
    platform::PortListing listing;
    unsigned firstDevice = 0;
    for (unsigned port = 1; port <= portCount; ++port) {
        char device[512];
        char target[512];
        if (!platform::portDeviceFound(port, device, sizeof device, target, sizeof target))
            continue;
        // Only a link of the user's has a target.
        if (target[0] != '\0' && !platform::describePortDevice(device).simulatorControl)
            return static_cast<int>(port - 1);
        if (target[0] == '\0' && firstDevice == 0 && port >= kFirstUsbPort && port <= kLastBoardUartPort)
            firstDevice = port;
    }
    return firstDevice != 0 ? static_cast<int>(firstDevice - 1) : 0;
}
