// Serial ports on POSIX (Linux): termios devices in non-blocking mode. Reads
// are polled together with the stop event; the 1 ms read interval of the
// Windows driver is done here by gathering while bytes keep coming.
#include "platform/platform.h"
#include "platform/port_names.h"
#include "platform/serial_trace.h"
#include "platform/posix/event_posix.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

struct SerialPort {
    int fd;
    unsigned number;
    termios found;  // the settings it had, put back when it is closed
};

// Keeps its own copy of the descriptor, not the port: a reader that has not
// ended when its port is closed must not touch the released record.
struct SerialRead {
    int fd;
    uint8_t data[kSerialReadSize];
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
    {1, 32, "/dev/ttyS"},
    {33, 64, "/dev/ttyUSB"},
    {65, 96, "/dev/ttyACM"},
    {97, 128, "/dev/rfcomm"},
};

// "${XDG_CONFIG_HOME:-$HOME/.config}/merlintest/ports/comN"; empty when
// neither names a directory. A relative XDG_CONFIG_HOME is ignored, as the
// XDG convention asks.
static std::string portLinkPath(unsigned portNumber) {
    const std::string name = "/merlintest/ports/com" + std::to_string(portNumber);
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return config + name;
    const char* home = std::getenv("HOME");
    if (!home || !*home) return std::string();
    return home + ("/.config" + name);
}

// A device path given on the command line, as this process's own port: it
// comes before the user's link and the table for its number. Set before any
// port opens, never changed while one is open.
static unsigned adoptedPort = 0;
static std::string adoptedDevice;

unsigned adoptDevicePath(const char* path) {
    adoptedPort = 0;
    adoptedDevice.clear();
    if (!path || !*path) return 0;
    // The table's number when the path leads to one of its devices (a
    // /dev/serial/by-id name to its ttyUSB), by name when it has gone.
    char* real = realpath(path, nullptr);
    const std::string device = real ? real : path;
    std::free(real);
    unsigned number = kMaxPortNumber;
    for (const DeviceFamily& family : kDeviceFamilies) {
        for (unsigned port = family.firstPort; port <= family.lastPort; ++port)
            if (device == family.prefix + std::to_string(port - family.firstPort)) number = port;
    }
    adoptedPort = number;
    adoptedDevice = path;
    return number;
}

// The device port N opens: a device path adopted for it, else the user's
// link when there is one, else the table's device; empty when it has none. A link that may be there but cannot
// be looked at (its path too long for the system, a directory on the way that
// cannot be searched) gives nothing: falling back to the table would open a
// device the user never chose.
static std::string portDevice(unsigned portNumber) {
    if (portNumber < 1 || portNumber > kMaxPortNumber) return std::string();
    if (portNumber == adoptedPort) return adoptedDevice;
    const std::string link = portLinkPath(portNumber);
    if (!link.empty()) {
        if (link.size() >= PATH_MAX) return std::string();
        struct stat status;
        if (lstat(link.c_str(), &status) == 0) return link;
        if (errno != ENOENT && errno != ENOTDIR) return std::string();
    }
    for (const DeviceFamily& family : kDeviceFamilies) {
        if (portNumber >= family.firstPort && portNumber <= family.lastPort)
            return family.prefix + std::to_string(portNumber - family.firstPort);
    }
    // No device of its own: only a link can give this number a device.
    return link;
}

void portDevicePath(unsigned portNumber, char* out, size_t size) {
    if (!out || size == 0) return;
    std::snprintf(out, size, "%s", portDevice(portNumber).c_str());
}

// Whether the kernel's table of terminal drivers claims this device number:
// 1 yes, 0 no, -1 when the table cannot be read.
static int terminalDriverClaims(dev_t device) {
    FILE* drivers = std::fopen("/proc/tty/drivers", "re");
    if (!drivers) return -1;
    int claimed = 0;
    char line[256];
    // "name  /dev/path  major  minor[-minor]  type", one driver a line.
    while (!claimed && std::fgets(line, sizeof line, drivers)) {
        unsigned driverMajor = 0, first = 0, last = 0;
        int fields = std::sscanf(line, "%*s %*s %u %u-%u", &driverMajor, &first, &last);
        if (fields < 2) continue;
        if (fields == 2) last = first;
        claimed = major(device) == driverMajor && minor(device) >= first && minor(device) <= last;
    }
    std::fclose(drivers);
    return claimed;
}

// A serial device is a terminal: a file, a FIFO, a directory, a block device
// or a character device such as /dev/null is not, and is never written to.
// Decided without opening the device where the kernel's table can tell, since
// opening a serial port raises its modem lines.
static bool isSerialDevice(const char* path) {
    struct stat status;
    if (stat(path, &status) != 0 || !S_ISCHR(status.st_mode)) return false;
    int claimed = terminalDriverClaims(status.st_rdev);
    if (claimed >= 0) return claimed == 1;
    int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool terminal = isatty(fd) == 1;
    close(fd);
    return terminal;
}

bool portDeviceFound(unsigned portNumber, char* device, size_t deviceSize, char* target, size_t targetSize) {
    if (target && targetSize) target[0] = '\0';
    const std::string path = portDevice(portNumber);
    if (device && deviceSize) std::snprintf(device, deviceSize, "%s", path.c_str());
    if (path.empty()) return false;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return false;
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

// True when the lock file names a live process other than this one.
static bool lockFileHeld(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    char text[64];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return false;
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
        if (errno != 0 || end == text) return false;
    }
    if (pid <= 0 || pid > INT_MAX || pid == static_cast<long>(getpid())) return false;
    // EPERM: alive, but another user's.
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

static bool heldThroughLockFile(const char* path) {
    char* real = realpath(path, nullptr);
    if (!real) return false;
    const char* slash = std::strrchr(real, '/');
    const std::string name = std::string("/LCK..") + (slash ? slash + 1 : real);
    std::free(real);
    const char* chosen = std::getenv("MERLIN_LOCK_DIR");
    if (chosen && *chosen) return lockFileHeld(chosen + name);
    if (lockFileHeld("/run/lock" + name)) return true;
    // /var/lock is usually a link to /run/lock; look there only when it is
    // a directory of its own.
    struct stat run, var;
    if (stat("/var/lock", &var) != 0) return false;
    if (stat("/run/lock", &run) == 0 && run.st_dev == var.st_dev && run.st_ino == var.st_ino) return false;
    return lockFileHeld("/var/lock" + name);
}

// ---- Open, settings, close --------------------------------------------------

SerialPort* serialOpen(unsigned portNumber) {
    const std::string path = portDevice(portNumber);
    // Checked before the open, which is never done to what is not a serial
    // device, and again on what was opened, in case the name changed since.
    int fd = -1;
    if (!path.empty() && isSerialDevice(path.c_str()) && !heldThroughLockFile(path.c_str()))
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios found;
    struct stat status;
    bool usable = fd >= 0 && fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && tcgetattr(fd, &found) == 0;
    // TIOCEXCL keeps other users out but not root; the lock keeps out every
    // program that asks for it, this one included.
    if (usable && flock(fd, LOCK_EX | LOCK_NB) != 0) usable = false;
    if (!usable) {
        if (fd >= 0) close(fd);
        traced("open", static_cast<long>(portNumber), false);
        return nullptr;
    }
    ioctl(fd, TIOCEXCL);
    traced("open", static_cast<long>(portNumber), true);
    return new SerialPort{fd, portNumber, found};
}

void serialSetLine9600_8N1(SerialPort* port) {
    if (!port) return;
    termios settings;
    bool ok = tcgetattr(port->fd, &settings) == 0;
    if (ok) {
        // Raw bytes: no line editing, echo, signals, translation or XON/XOFF.
        settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                                    ICRNL | IXON | IXOFF | IXANY | INPCK);
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

void serialSetReadIntervalTimeouts(SerialPort* port) {
    if (!port) return;
    // Nothing to set: VMIN 0 / VTIME 0 and the 1 ms gathering of the reads
    // give the same behaviour.
    traced("timeouts", 1, true);
}

void serialSetQueueSizes(SerialPort* port, uint32_t input, uint32_t /*output*/) {
    if (!port) return;
    // Linux sizes its tty buffers itself; there is nothing to ask for.
    traced("queues", static_cast<long>(input), true);
}

// Waits until what was written has gone out, bounded by its time on the
// wire at 9600 baud (about 1.04 ms a byte) plus a margin, 100 ms at most:
// tcdrain would wait for ever on a line that has stalled. False when some is
// still queued.
static bool waitForOutput(int fd) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return true;
    const uint64_t start = nowMilliseconds();
    const uint64_t limit = std::min<uint64_t>(100, static_cast<uint64_t>(queued) * 1042 / 1000 + 20);
    while (queued > 0 && nowMilliseconds() - start < limit) {
        poll(nullptr, 0, 1);
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) return true;
    }
    return queued <= 0;
}

void serialPurge(SerialPort* port) {
    if (!port) return;
    // Only the input: a write here is either complete or was cancelled when
    // it gave up, and what a complete write queued goes out before the close
    // (serialClose waits for it).
    traced("purge", static_cast<long>(port->number), tcflush(port->fd, TCIFLUSH) == 0);
}

void serialClose(SerialPort* port) {
    if (!port) return;
    // A frame written is a frame sent: it goes out before the settings go
    // back as they were found, at the speed it was written at. Only what a
    // stalled line still holds after the wait is dropped, so that the close
    // does not wait out the driver's own (much longer) closing time.
    if (!waitForOutput(port->fd)) tcflush(port->fd, TCOFLUSH);
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

WaitResult serialWrite(SerialPort* port, Event* /*done*/, const uint8_t* bytes, uint32_t count,
                       uint32_t milliseconds) {
    if (!port) return WaitFailed;
    const uint64_t start = nowMilliseconds();
    uint32_t written = 0;
    bool failed = false;
    while (written < count && !failed) {
        ssize_t n = write(port->fd, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            failed = true;
            break;
        }
        int left = remainingPollTime(start, milliseconds);
        if (left == 0) break;
        pollfd writable = {port->fd, POLLOUT, 0};
        int ready = poll(&writable, 1, left);
        if (ready < 0 && errno != EINTR) failed = true;
        if (ready > 0 && (writable.revents & (POLLERR | POLLHUP | POLLNVAL))) failed = true;
    }
    bool complete = written == count;
    // Giving up cancels the write: what it left queued does not go out later.
    if (!complete) tcflush(port->fd, TCOFLUSH);
    traced("write", static_cast<long>(count), complete, complete ? bytes : nullptr, complete ? count : 0);
    return complete ? WaitFirst : WaitTimeout;
}

bool serialEscape(SerialPort* port, ModemFunction function) {
    static const char* const kNames[] = {"SETDTR", "CLRDTR", "SETRTS", "CLRRTS"};
    if (!port || function < SetDtr || function > ClearRts) return false;
    int line = (function == SetDtr || function == ClearDtr) ? TIOCM_DTR : TIOCM_RTS;
    unsigned long request = (function == SetDtr || function == SetRts) ? TIOCMBIS : TIOCMBIC;
    // A pseudo-terminal has no modem lines and says ENOTTY.
    bool ok = ioctl(port->fd, request, &line) == 0;
    return traced(kNames[function], static_cast<long>(port->number), ok);
}

// ---- Reads ------------------------------------------------------------------

// After the first bytes of a read, takes whatever follows within 1 ms of the
// last byte, up to a full buffer.
static uint32_t gatherBurst(int fd, uint8_t* data, uint32_t have) {
    while (have < kSerialReadSize) {
        pollfd readable = {fd, POLLIN, 0};
        int ready = poll(&readable, 1, 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || !(readable.revents & POLLIN)) break;
        ssize_t n = read(fd, data + have, kSerialReadSize - have);
        if (n <= 0) break;
        have += static_cast<uint32_t>(n);
    }
    return have;
}

SerialRead* serialReadCreate(SerialPort* port) {
    if (!port) return nullptr;
    return new SerialRead{port->fd, {}};
}

ReadStart serialReadStart(SerialRead* read, uint32_t* received) {
    *received = 0;
    if (!read) return ReadPending;
    ssize_t n = ::read(read->fd, read->data, kSerialReadSize);
    if (n <= 0) return ReadPending;  // nothing yet, or a failure the wait will report
    *received = gatherBurst(read->fd, read->data, static_cast<uint32_t>(n));
    traced("read", static_cast<long>(*received), true, read->data, *received);
    return ReadCompleted;
}

WaitResult serialReadWait(SerialRead* read, Event* stop, uint32_t milliseconds) {
    if (!read || !stop) return WaitFailed;
    const uint64_t start = nowMilliseconds();
    for (;;) {
        pollfd fds[2] = {{read->fd, POLLIN, 0}, {stop->fd, POLLIN, 0}};
        int ready = poll(fds, 2, remainingPollTime(start, milliseconds));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return WaitFailed;
        }
        if (ready == 0) return WaitTimeout;
        // Data, or a device that has failed: either way the read has an
        // outcome to collect, and it wins over the stop.
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) return WaitFirst;
        if (fds[1].revents & POLLNVAL) return WaitFailed;
        if ((fds[1].revents & POLLIN) && consumeSignal(stop)) return WaitSecond;
        if (remainingPollTime(start, milliseconds) == 0) return WaitTimeout;
    }
}

bool serialReadResult(SerialRead* read, uint32_t* received) {
    *received = 0;
    if (!read) return false;
    const int fd = read->fd;
    for (;;) {
        ssize_t n = ::read(fd, read->data, kSerialReadSize);
        if (n > 0) {
            *received = gatherBurst(fd, read->data, static_cast<uint32_t>(n));
            return traced("read", static_cast<long>(*received), true, read->data, *received);
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            // Nothing to read: fine unless the device has hung up or failed.
            pollfd status = {fd, 0, 0};
            if (poll(&status, 1, 0) > 0 && (status.revents & (POLLHUP | POLLERR | POLLNVAL))) break;
            return true;
        }
        break;  // EIO, or end of file on a hung-up line
    }
    return traced("read", 0, false);
}

const uint8_t* serialReadData(const SerialRead* read) { return read ? read->data : nullptr; }

void serialReadDestroy(SerialRead* read) {
    // Reads are synchronous here: nothing can still be using the buffer.
    delete read;
}

}  // namespace platform
