// Serial ports on POSIX (Linux): termios devices in non-blocking mode, or a
// connected socket for a port on the network (net_posix.h). Reads are polled
// together with the stop event; the 1 ms read interval of the Windows driver
// is done here by gathering while bytes keep coming.
#include "platform/platform.h"
#include "platform/port_names.h"
#include "platform/serial_trace.h"
#include "platform/posix/event_posix.h"
#include "platform/posix/net_posix.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

// What stands behind a port: a terminal device, or a socket to a WiFi
// adapter (datagrams) or a serial server (a stream).
enum class PortKind { Device, Datagram, Stream };

struct SerialPort {
    int fd;
    unsigned number;
    termios found;  // the settings it had, put back when it is closed
    PortKind kind;
    bool toldNoModemLines;
};

// A datagram is read whole; what does not fit a read waits for the next.
constexpr size_t kMaxDatagram = 65536;

// Keeps its own copy of the descriptor, not the port: a reader that has not
// ended when its port is closed must not touch the released record.
struct SerialRead {
    int fd;
    PortKind kind;
    uint8_t data[kSerialReadSize];
    std::vector<uint8_t> held;  // the rest of a datagram larger than a read
    std::vector<uint8_t> datagram;
};

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
static std::string portLinkPath(unsigned portNumber)
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
static unsigned adoptedPort = 0;
static std::string adoptedDevice;

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
static std::string portDevice(unsigned portNumber, int* lookError = nullptr)
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
static std::string networkTarget(const std::string& device)
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
static int serialDeviceError(const char* path)
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

// ---- Lock files -------------------------------------------------------------
// Serial programs that do not lock the device itself leave a UUCP-style lock
// file, LCK..<device name>, holding their process id in ASCII (or, from
// older programs, as a binary int). This tool only honours them: it never
// makes one, and leaves a stale one where it is. MERLIN_LOCK_DIR names the
// one directory to look in instead of the usual ones.

// The live process other than this one that the lock file names; 0 when it
// names none.
static pid_t lockFileHolder(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[64];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    long pid = 0;
    auto textual = [](char c) { return (c >= '0' && c <= '9') || c == ' ' || c == '\n'; };
    if (n == 4 && !std::all_of(text, text + n, textual)) {
        int32_t value;
        std::memcpy(&value, text, sizeof value);
        pid = value;
    } else {
        char* end = nullptr;
        errno = 0;
        pid = std::strtol(text, &end, 10);
        if (errno != 0 || end == text)
            return 0;
    }
    if (pid <= 0 || pid > INT_MAX || pid == static_cast<long>(getpid()))
        return 0;
    // EPERM: alive, but another user's.
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)
        return static_cast<pid_t>(pid);
    return 0;
}

// The live program holding the device through a lock file; 0 when none does.
static pid_t lockFileHolderOf(const char* path)
{
    char* real = realpath(path, nullptr);
    if (!real)
        return 0;
    const char* slash = std::strrchr(real, '/');
    const std::string name = std::string("/LCK..") + (slash ? slash + 1 : real);
    std::free(real);
    const char* chosen = std::getenv("MERLIN_LOCK_DIR");
    if (chosen && *chosen)
        return lockFileHolder(chosen + name);
    if (pid_t holder = lockFileHolder("/run/lock" + name))
        return holder;
    // /var/lock is usually a link to /run/lock; look there only when it is
    // a directory of its own.
    struct stat run, var;
    if (stat("/var/lock", &var) != 0)
        return 0;
    if (stat("/run/lock", &run) == 0 && run.st_dev == var.st_dev && run.st_ino == var.st_ino)
        return 0;
    return lockFileHolder("/var/lock" + name);
}

// ---- Why an open failed -----------------------------------------------------
// The last failed open's reason, as a line for the user; written on the
// engine thread, read on whichever thread shows the status that follows.

static std::mutex failureLock;
static std::string lastFailure;

// How the port is shown: "COM33 (/dev/ttyUSB0)", a link by where it points;
// a device path with no number of its own by itself.
static std::string portLabel(unsigned portNumber, const std::string& device)
{
    const std::string number = "COM" + std::to_string(portNumber);
    if (device.empty())
        return number;
    if (portNumber == adoptedPort && portNumber == kMaxPortNumber)
        return device;
    std::string shown = device;
    std::vector<char> linked(PATH_MAX);
    ssize_t n = readlink(device.c_str(), linked.data(), linked.size() - 1);
    if (portNumber != adoptedPort && n > 0)
        shown.assign(linked.data(), static_cast<size_t>(n));
    return number + " (" + shown + ")";
}

static bool inGroup(gid_t group)
{
    if (group == getegid())
        return true;
    int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    count = getgroups(count, groups.data());
    return count > 0 && std::find(groups.begin(), groups.begin() + count, group) != groups.begin() + count;
}

// Permission denied: when the device's group may open it and this process is
// not in that group, joining it is the cure (dialout, on Debian).
static std::string permissionText(const std::string& device)
{
    const std::string text = "permission denied";
    struct stat status;
    if (device.empty() || stat(device.c_str(), &status) != 0)
        return text;
    const mode_t groupMayOpen = S_IRGRP | S_IWGRP;
    if ((status.st_mode & groupMayOpen) != groupMayOpen || status.st_gid == 0 || inGroup(status.st_gid))
        return text;
    group entry;
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrgid_r(status.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return text;
    const std::string name = found->gr_name;
    return text + ": add yourself to the " + name + " group (sudo usermod -aG " + name + " $USER), then log in again";
}

// The name of a process, from /proc; empty when it cannot be read.
static std::string processName(pid_t pid)
{
    std::string name;
    FILE* comm = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re");
    if (!comm)
        return name;
    char text[64];
    if (std::fgets(text, sizeof text, comm))
        name = text;
    std::fclose(comm);
    while (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

static void recordFailureText(unsigned portNumber, const std::string& device, const std::string& why)
{
    const std::string text = portLabel(portNumber, device) + ": " + why;
    std::lock_guard<std::mutex> hold(failureLock);
    lastFailure = text;
}

// Records why port N (its device `device`) did not open: `error` is an errno
// value (ENOTTY: not a serial device), `holder` a lock file's live process.
static void recordFailure(unsigned portNumber, const std::string& device, int error, pid_t holder)
{
    std::string why;
    if (holder > 0) {
        const std::string name = processName(holder);
        why = "busy: held by " +
              (name.empty() ? "process " + std::to_string(holder) : name + " (process " + std::to_string(holder) + ")");
    } else if (error == ENOENT || error == ENOTDIR || error == ENXIO || error == ENODEV) {
        why = "no such device";
    } else if (error == ENOTTY) {
        why = "not a serial device";
    } else if (error == EACCES || error == EPERM) {
        why = permissionText(device);
    } else if (error == EBUSY || error == EWOULDBLOCK) {
        why = "busy: held by another program";
    } else {
        why = std::strerror(error);
        if (!why.empty() && why[0] >= 'A' && why[0] <= 'Z')
            why[0] = static_cast<char>(why[0] - 'A' + 'a');
    }
    recordFailureText(portNumber, device, why);
}

void serialOpenFailure(char* out, size_t size)
{
    if (!out || size == 0)
        return;
    std::lock_guard<std::mutex> hold(failureLock);
    std::snprintf(out, size, "%s", lastFailure.c_str());
}

// ---- Open, settings, close --------------------------------------------------

// Opens a port's device; -1 with *error (an errno value, ENOTTY for
// what is not a serial device) or *holder (a lock file's process) set.
static int openDevice(const std::string& path, termios* found, int* error, pid_t* holder)
{
    if (path.empty())
        return -1;
    // Checked before the open, which is never done to what is not a serial
    // device, and again on what was opened, in case the name changed since.
    *error = serialDeviceError(path.c_str());
    if (*error != 0)
        return -1;
    *holder = lockFileHolderOf(path.c_str());
    if (*holder > 0)
        return -1;
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode) || tcgetattr(fd, found) != 0) {
        *error = ENOTTY;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // TIOCEXCL keeps other users out but not root; the lock keeps out
        // every program that asks for it, this one included.
        *error = errno;
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

// Opens a port on the network; null with the reason recorded.
static SerialPort* openNetwork(unsigned portNumber, const std::string& device, const std::string& address)
{
    NetworkAddress parsed;
    std::string why;
    int fd = -1;
    if (parseNetworkAddress(address, &parsed, &why))
        fd = openNetworkPort(parsed, &why);
    if (fd < 0) {
        recordFailureText(portNumber, device, why);
        traced("open", static_cast<long>(portNumber), false);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> hold(failureLock);
        lastFailure.clear();
    }
    traced("open", static_cast<long>(portNumber), true);
    const PortKind kind = parsed.transport == Transport::Udp ? PortKind::Datagram : PortKind::Stream;
    return new SerialPort{fd, portNumber, termios(), kind, false};
}

SerialPort* serialOpen(unsigned portNumber)
{
    int error = ENOENT;
    const std::string path = portDevice(portNumber, &error);
    const std::string address = networkTarget(path);
    if (!address.empty())
        return openNetwork(portNumber, path, address);
    termios found;
    pid_t holder = 0;
    const int fd = openDevice(path, &found, &error, &holder);
    if (fd < 0) {
        // A link that cannot be looked at is shown by its own name.
        const bool numbered = portNumber >= 1 && portNumber <= kMaxPortNumber;
        recordFailure(portNumber, path.empty() && numbered ? portLinkPath(portNumber) : path, error, holder);
        traced("open", static_cast<long>(portNumber), false);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> hold(failureLock);
        lastFailure.clear();
    }
    ioctl(fd, TIOCEXCL);
    traced("open", static_cast<long>(portNumber), true);
    return new SerialPort{fd, portNumber, found, PortKind::Device, false};
}

void serialSetLine9600_8N1(SerialPort* port)
{
    if (!port)
        return;
    // The far end of a network port sets its own line.
    if (port->kind != PortKind::Device) {
        traced("setline", 9600, true);
        return;
    }
    termios settings;
    bool ok = tcgetattr(port->fd, &settings) == 0;
    if (ok) {
        // Raw bytes: no line editing, echo, signals, translation or XON/XOFF.
        settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                                   IXOFF | IXANY | INPCK);
        settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        // 8N1; CRTSCTS and HUPCL stay as the port had them.
        settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
        settings.c_cflag |= CS8 | CREAD | CLOCAL;
        cfsetispeed(&settings, B9600);
        cfsetospeed(&settings, B9600);
        // Reads never block in the driver; the reader polls.
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        ok = tcsetattr(port->fd, TCSANOW, &settings) == 0;
    }
    traced("setline", 9600, ok);
}

void serialSetReadIntervalTimeouts(SerialPort* port)
{
    if (!port)
        return;
    // Nothing to set: VMIN 0 / VTIME 0 and the 1 ms gathering of the reads
    // give the same behaviour.
    traced("timeouts", 1, true);
}

void serialSetQueueSizes(SerialPort* port, uint32_t input, uint32_t /*output*/)
{
    if (!port)
        return;
    // Linux sizes its tty buffers itself; there is nothing to ask for.
    traced("queues", static_cast<long>(input), true);
}

// Waits until what was written has gone out, bounded by its time on the
// wire at 9600 baud (about 1.04 ms a byte) plus a margin, 100 ms at most:
// tcdrain would wait for ever on a line that has stalled. False when some is
// still queued. On a socket the same request counts what the peer has not
// yet acknowledged.
static bool waitForOutput(int fd)
{
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
        return true;
    const uint64_t start = nowMilliseconds();
    const uint64_t limit = std::min<uint64_t>(100, static_cast<uint64_t>(queued) * 1042 / 1000 + 20);
    while (queued > 0 && nowMilliseconds() - start < limit) {
        poll(nullptr, 0, 1);
        if (ioctl(fd, TIOCOUTQ, &queued) != 0)
            return true;
    }
    return queued <= 0;
}

// Empties what a socket has received, up to a bound, so that a flood cannot
// hold the purge.
static bool drainReceived(int fd)
{
    constexpr int kMaxReceives = 256;
    std::vector<uint8_t> scratch(kMaxDatagram);
    for (int i = 0; i < kMaxReceives; ++i) {
        const ssize_t n = recv(fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        // A refusal from an adapter still starting is no failure.
        if (n < 0 && errno == ECONNREFUSED)
            continue;
        if (n < 0)
            return errno == EAGAIN;
    }
    return true;
}

void serialPurge(SerialPort* port)
{
    if (!port)
        return;
    if (port->kind != PortKind::Device) {
        traced("purge", static_cast<long>(port->number), drainReceived(port->fd));
        return;
    }
    // Only the input: a write here is either complete or was cancelled when
    // it gave up, and what a complete write queued goes out before the close
    // (serialClose waits for it).
    traced("purge", static_cast<long>(port->number), tcflush(port->fd, TCIFLUSH) == 0);
}

void serialClose(SerialPort* port)
{
    if (!port)
        return;
    if (port->kind != PortKind::Device) {
        // The last frame reaches the peer before the socket goes.
        waitForOutput(port->fd);
        bool ok = close(port->fd) == 0;
        traced("close", static_cast<long>(port->number), ok);
        delete port;
        return;
    }
    // A frame written is a frame sent: it goes out before the settings go
    // back as they were found, at the speed it was written at. Only what a
    // stalled line still holds after the wait is dropped, so that the close
    // does not wait out the driver's own (much longer) closing time.
    if (!waitForOutput(port->fd))
        tcflush(port->fd, TCOFLUSH);
    tcsetattr(port->fd, TCSANOW, &port->found);
    // Another process may hold the other side of a pseudo-terminal; leave it
    // openable for the next program.
    ioctl(port->fd, TIOCNXCL);
    flock(port->fd, LOCK_UN);
    bool ok = close(port->fd) == 0;
    traced("close", static_cast<long>(port->number), ok);
    delete port;
}

// ---- Write and modem lines --------------------------------------------------

WaitResult serialWrite(SerialPort* port, Event* /*done*/, const uint8_t* bytes, uint32_t count, uint32_t milliseconds)
{
    if (!port)
        return WaitFailed;
    const uint64_t start = nowMilliseconds();
    uint32_t written = 0;
    bool failed = false;
    // A datagram port may hear "port unreachable" for an earlier frame; the
    // send it is reported to is tried again, a few times at most.
    int refusals = 0;
    constexpr int kMaxRefusals = 3;
    while (written < count && !failed) {
        // One write, one datagram: a frame goes whole. No SIGPIPE from a
        // stream whose peer has gone: that is a refused write.
        ssize_t n = port->kind == PortKind::Device ? write(port->fd, bytes + written, count - written)
                                                   : send(port->fd, bytes + written, count - written, MSG_NOSIGNAL);
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == ECONNREFUSED && port->kind == PortKind::Datagram) {
            if (++refusals <= kMaxRefusals)
                continue;
            break;
        }
        if (n < 0 && errno != EAGAIN) {
            failed = true;
            break;
        }
        int left = remainingPollTime(start, milliseconds);
        if (left == 0)
            break;
        pollfd writable = {port->fd, POLLOUT, 0};
        int ready = poll(&writable, 1, left);
        if (ready < 0 && errno != EINTR)
            failed = true;
        if (ready > 0 && (writable.revents & (POLLERR | POLLHUP | POLLNVAL)))
            failed = true;
    }
    bool complete = written == count;
    // Giving up cancels the write: what it left queued does not go out later.
    if (!complete && port->kind == PortKind::Device)
        tcflush(port->fd, TCOFLUSH);
    traced("write", static_cast<long>(count), complete, complete ? bytes : nullptr, complete ? count : 0);
    if (complete)
        return WaitFirst;
    return failed ? WaitFailed : WaitTimeout;
}

bool serialEscape(SerialPort* port, ModemFunction function)
{
    static const char* const kNames[] = {"SETDTR", "CLRDTR", "SETRTS", "CLRRTS"};
    if (!port || function < SetDtr || function > ClearRts)
        return false;
    if (port->kind != PortKind::Device) {
        // No modem lines over the network: said once a connection, in the
        // trace, so that a camera on the RTS line that never fires is explained.
        if (!port->toldNoModemLines) {
            port->toldNoModemLines = true;
            const char note[] = "no modem lines over the network: DTR and RTS do nothing";
            traced("note", static_cast<long>(port->number), true, reinterpret_cast<const uint8_t*>(note),
                   sizeof note - 1);
        }
        return traced(kNames[function], static_cast<long>(port->number), false);
    }
    int line = (function == SetDtr || function == ClearDtr) ? TIOCM_DTR : TIOCM_RTS;
    unsigned long request = (function == SetDtr || function == SetRts) ? TIOCMBIS : TIOCMBIC;
    // A pseudo-terminal has no modem lines and says ENOTTY.
    bool ok = ioctl(port->fd, request, &line) == 0;
    return traced(kNames[function], static_cast<long>(port->number), ok);
}

// ---- Reads ------------------------------------------------------------------

// Reads into `into` as read() does: bytes, 0 at the end of a stream, or -1
// with errno. A datagram port delivers what it holds first, then one datagram
// at a time; an empty datagram or a "port unreachable" from a peer still
// starting up is nothing to read (EAGAIN), never a failure.
static ssize_t receiveSome(SerialRead* read, uint8_t* into, uint32_t room)
{
    if (read->kind != PortKind::Datagram)
        return ::read(read->fd, into, room);
    if (read->held.empty()) {
        const ssize_t n = recv(read->fd, read->datagram.data(), read->datagram.size(), MSG_DONTWAIT);
        if (n < 0 && errno == ECONNREFUSED)
            errno = EAGAIN;
        if (n == 0)
            errno = EAGAIN;
        if (n <= 0)
            return -1;
        read->held.assign(read->datagram.begin(), read->datagram.begin() + n);
    }
    const size_t n = std::min<size_t>(room, read->held.size());
    std::memcpy(into, read->held.data(), n);
    read->held.erase(read->held.begin(), read->held.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<ssize_t>(n);
}

// After the first bytes of a read, takes whatever follows within 1 ms of the
// last byte, up to a full buffer.
static uint32_t gatherBurst(SerialRead* read, uint32_t have)
{
    while (have < kSerialReadSize) {
        if (read->held.empty()) {
            pollfd readable = {read->fd, POLLIN, 0};
            int ready = poll(&readable, 1, 1);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0 || !(readable.revents & POLLIN))
                break;
        }
        ssize_t n = receiveSome(read, read->data + have, kSerialReadSize - have);
        if (n <= 0)
            break;
        have += static_cast<uint32_t>(n);
    }
    return have;
}

SerialRead* serialReadCreate(SerialPort* port)
{
    if (!port)
        return nullptr;
    SerialRead* read = new SerialRead{port->fd, port->kind, {}, {}, {}};
    if (port->kind == PortKind::Datagram)
        read->datagram.resize(kMaxDatagram);
    return read;
}

ReadStart serialReadStart(SerialRead* read, uint32_t* received)
{
    *received = 0;
    if (!read)
        return ReadPending;
    ssize_t n = receiveSome(read, read->data, kSerialReadSize);
    if (n <= 0)
        return ReadPending;  // nothing yet, or a failure the wait will report
    *received = gatherBurst(read, static_cast<uint32_t>(n));
    traced("read", static_cast<long>(*received), true, read->data, *received);
    return ReadCompleted;
}

WaitResult serialReadWait(SerialRead* read, Event* stop, uint32_t milliseconds)
{
    if (!read || !stop)
        return WaitFailed;
    // The rest of a datagram is there already.
    if (!read->held.empty())
        return WaitFirst;
    const uint64_t start = nowMilliseconds();
    for (;;) {
        pollfd fds[2] = {{read->fd, POLLIN, 0}, {stop->fd, POLLIN, 0}};
        int ready = poll(fds, 2, remainingPollTime(start, milliseconds));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return WaitFailed;
        }
        if (ready == 0)
            return WaitTimeout;
        // Data, or a device that has failed: either way the read has an
        // outcome to collect, and it wins over the stop.
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
            return WaitFirst;
        if (fds[1].revents & POLLNVAL)
            return WaitFailed;
        if ((fds[1].revents & POLLIN) && consumeSignal(stop))
            return WaitSecond;
        if (remainingPollTime(start, milliseconds) == 0)
            return WaitTimeout;
    }
}

bool serialReadResult(SerialRead* read, uint32_t* received)
{
    *received = 0;
    if (!read)
        return false;
    const int fd = read->fd;
    for (;;) {
        ssize_t n = receiveSome(read, read->data, kSerialReadSize);
        if (n > 0) {
            *received = gatherBurst(read, static_cast<uint32_t>(n));
            return traced("read", static_cast<long>(*received), true, read->data, *received);
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // Nothing to read: fine unless the device has hung up or failed.
            pollfd status = {fd, 0, 0};
            if (poll(&status, 1, 0) > 0 && (status.revents & (POLLHUP | POLLERR | POLLNVAL)))
                break;
            return true;
        }
        break;  // EIO, a reset, or end of file on a hung-up line or a closed stream
    }
    // A stream whose peer has gone is a device that vanished: the frames
    // written after it are refused as on an unplugged cable, not sent into
    // the void.
    if (read->kind == PortKind::Stream)
        shutdown(fd, SHUT_RDWR);
    return traced("read", 0, false);
}

const uint8_t* serialReadData(const SerialRead* read)
{
    return read ? read->data : nullptr;
}

void serialReadDestroy(SerialRead* read)
{
    // Reads are synchronous here: nothing can still be using the buffer.
    delete read;
}

}  // namespace platform
