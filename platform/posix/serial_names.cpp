// Port names on POSIX: which device a COM number opens, and whether it is a
// serial device at all.
#include "platform/platform.h"
#include "platform/port_names.h"
#include "platform/posix/net_posix.h"
#include "platform/posix/serial_posix.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform {

// ---- Port names -------------------------------------------------------------
// COM numbers map onto Linux device families in blocks of 32. A link in the
// user's ports directory overrides the table for its number, which is how a
// pseudo-terminal or a /dev/serial/by-id name gets a COM number.

struct DeviceFamily {
    unsigned firstPort;
    unsigned lastPort;
    const char* prefix;
};

static const DeviceFamily kDeviceFamilies[] = {
    {1, 32, "/dev/ttyS"},       // built-in ports
    {33, 64, "/dev/ttyUSB"},    // USB-serial cables
    {65, 96, "/dev/ttyACM"},    // USB devices of the modem class
    {97, 128, "/dev/rfcomm"},   // Bluetooth serial adapters
    {129, 160, "/dev/ttyAMA"},  // a board's own UARTs, as a Raspberry Pi's
};

// "${XDG_CONFIG_HOME:-$HOME/.config}/merlintest/ports/comN"; empty when
// neither names a directory. A relative XDG_CONFIG_HOME is ignored, as the
// XDG convention asks.
std::string portLinkPath(unsigned portNumber)
{
    const std::string name = "/merlintest/ports/com" + std::to_string(portNumber);
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/')
        return config + name;
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return std::string();
    return home + ("/.config" + name);
}

// A device path given on the command line, as this process's own port: it
// comes before the user's link and the table for its number. Set before any
// port opens, never changed while one is open.
unsigned adoptedPort = 0;
std::string adoptedDevice;

unsigned adoptDevicePath(const char* path)
{
    adoptedPort = 0;
    adoptedDevice.clear();
    if (!path || !*path)
        return 0;
    if (isNetworkAddressText(path)) {
        adoptedPort = kMaxPortNumber;
        adoptedDevice = path;
        return adoptedPort;
    }
    // The table's number when the path leads to one of its devices (a
    // /dev/serial/by-id name to its ttyUSB), by name when it has gone.
    char* real = realpath(path, nullptr);
    const std::string device = real ? real : path;
    std::free(real);
    unsigned number = kMaxPortNumber;
    for (const DeviceFamily& family : kDeviceFamilies) {
        for (unsigned port = family.firstPort; port <= family.lastPort; ++port)
            if (device == family.prefix + std::to_string(port - family.firstPort))
                number = port;
    }
    adoptedPort = number;
    adoptedDevice = path;
    return number;
}

// The device port N opens: a device path adopted for it, else the user's
// link when there is one, else the table's device; empty when it has none. A
// link that may be there but cannot be looked at (its path too long for the
// system, a directory on the way that cannot be searched) gives nothing, and
// *lookError (when given) says why: falling back to the table would open a
// device the user never chose.
std::string portDevice(unsigned portNumber, int* lookError)
{
    if (portNumber < 1 || portNumber > kMaxPortNumber)
        return std::string();
    if (portNumber == adoptedPort)
        return adoptedDevice;
    const std::string link = portLinkPath(portNumber);
    if (!link.empty()) {
        int error = ENAMETOOLONG;
        struct stat status;
        if (link.size() < PATH_MAX) {
            if (lstat(link.c_str(), &status) == 0)
                return link;
            error = errno;
        }
        if (error != ENOENT && error != ENOTDIR) {
            if (lookError)
                *lookError = error;
            return std::string();
        }
    }
    for (const DeviceFamily& family : kDeviceFamilies) {
        if (portNumber >= family.firstPort && portNumber <= family.lastPort)
            return family.prefix + std::to_string(portNumber - family.firstPort);
    }
    // No device of its own: only a link can give this number a device.
    return link;
}

// The network address a port's device stands for: the device itself when it
// is one (adopted from the command line), or a link's target (ln -s
// udp://192.168.4.1 ~/.config/merlintest/ports/com5); empty for a device.
std::string networkTarget(const std::string& device)
{
    if (device.empty() || isNetworkAddressText(device))
        return device;
    std::vector<char> linked(PATH_MAX);
    const ssize_t n = readlink(device.c_str(), linked.data(), linked.size() - 1);
    if (n <= 0)
        return std::string();
    const std::string target(linked.data(), static_cast<size_t>(n));
    return isNetworkAddressText(target) ? target : std::string();
}

void portDevicePath(unsigned portNumber, char* out, size_t size)
{
    if (!out || size == 0)
        return;
    std::snprintf(out, size, "%s", portDevice(portNumber).c_str());
}

// Whether the kernel's table of terminal drivers claims this device number:
// 1 yes, 0 no, -1 when the table cannot be read.
static int terminalDriverClaims(dev_t device)
{
    FILE* drivers = std::fopen("/proc/tty/drivers", "re");
    if (!drivers)
        return -1;
    int claimed = 0;
    char line[256];
    // "name  /dev/path  major  minor[-minor]  type", one driver a line.
    while (!claimed && std::fgets(line, sizeof line, drivers)) {
        unsigned driverMajor = 0, first = 0, last = 0;
        int fields = std::sscanf(line, "%*s %*s %u %u-%u", &driverMajor, &first, &last);
        if (fields < 2)
            continue;
        if (fields == 2)
            last = first;
        claimed = major(device) == driverMajor && minor(device) >= first && minor(device) <= last;
    }
    std::fclose(drivers);
    return claimed;
}

// A serial device is a terminal: a file, a FIFO, a directory, a block device
// or a character device such as /dev/null is not, and is never written to.
// Decided without opening the device where the kernel's table can tell, since
// opening a serial port raises its modem lines. 0 for a serial device,
// ENOTTY for anything else, or why it could not be looked at.
int serialDeviceError(const char* path)
{
    struct stat status;
    if (stat(path, &status) != 0)
        return errno;
    if (!S_ISCHR(status.st_mode))
        return ENOTTY;
    int claimed = terminalDriverClaims(status.st_rdev);
    if (claimed >= 0)
        return claimed == 1 ? 0 : ENOTTY;
    int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    bool terminal = isatty(fd) == 1;
    close(fd);
    return terminal ? 0 : ENOTTY;
}

static bool isSerialDevice(const char* path)
{
    return serialDeviceError(path) == 0;
}

bool portDeviceFound(unsigned portNumber, char* device, size_t deviceSize, char* target, size_t targetSize)
{
    if (target && targetSize)
        target[0] = '\0';
    const std::string path = portDevice(portNumber);
    if (device && deviceSize)
        std::snprintf(device, deviceSize, "%s", path.c_str());
    if (path.empty())
        return false;
    // An address is shown with its port, and listed when it can be opened;
    // whether anything answers there is known only by trying.
    const std::string address = networkTarget(path);
    if (!address.empty()) {
        NetworkAddress parsed;
        std::string why;
        const bool control = std::any_of(address.begin(), address.end(),
                                         [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
        if (control || !parseNetworkAddress(address, &parsed, &why))
            return false;
        if (target && targetSize)
            std::snprintf(target, targetSize, "%s", networkAddressText(parsed).c_str());
        return true;
    }
    struct stat status;
    if (lstat(path.c_str(), &status) != 0)
        return false;
    if (S_ISLNK(status.st_mode) && target && targetSize > 1) {
        std::vector<char> linked(PATH_MAX);
        ssize_t n = readlink(path.c_str(), linked.data(), linked.size() - 1);
        linked[n > 0 ? static_cast<size_t>(n) : 0] = '\0';
        std::snprintf(target, targetSize, "%s", linked.data());
    }
    // A link whose device has gone, or that leads to no serial device, opens
    // nothing.
    return isSerialDevice(path.c_str());
}

}  // namespace platform
