// Serial ports on POSIX (Linux): termios devices in non-blocking mode. Reads
// are polled together with the stop event; the 1 ms read interval of the
// Windows driver is done here by gathering while bytes keep coming.
#include "platform/platform.h"
#include "platform/port_names.h"
#include "platform/serial_trace.h"
#include "platform/posix/event_posix.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

struct SerialPort {
    int fd;
    unsigned number;
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

// "${XDG_CONFIG_HOME:-$HOME/.config}/merlintest/ports/comN"; false when
// neither names a directory. A relative XDG_CONFIG_HOME is ignored, as the
// XDG convention asks.
static bool portLinkPath(unsigned portNumber, char* out, size_t size) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    int length;
    if (config && config[0] == '/') {
        length = std::snprintf(out, size, "%s/merlintest/ports/com%u", config, portNumber);
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) return false;
        length = std::snprintf(out, size, "%s/.config/merlintest/ports/com%u", home, portNumber);
    }
    return length > 0 && static_cast<size_t>(length) < size;
}

void portDevicePath(unsigned portNumber, char* out, size_t size) {
    if (!out || size == 0) return;
    out[0] = '\0';
    if (portNumber < 1 || portNumber > kMaxPortNumber) return;

    char link[512];
    bool haveLink = portLinkPath(portNumber, link, sizeof link);
    struct stat status;
    if (haveLink && lstat(link, &status) == 0) {
        std::snprintf(out, size, "%s", link);
        return;
    }
    for (const DeviceFamily& family : kDeviceFamilies) {
        if (portNumber >= family.firstPort && portNumber <= family.lastPort) {
            std::snprintf(out, size, "%s%u", family.prefix, portNumber - family.firstPort);
            return;
        }
    }
    // No device of its own: only a link can give this number a device.
    if (haveLink) std::snprintf(out, size, "%s", link);
}

bool portDeviceFound(unsigned portNumber, char* device, size_t deviceSize, char* target, size_t targetSize) {
    if (target && targetSize) target[0] = '\0';
    portDevicePath(portNumber, device, deviceSize);
    if (!device || !device[0]) return false;
    struct stat status;
    if (lstat(device, &status) != 0) return false;
    if (S_ISLNK(status.st_mode) && target && targetSize > 1) {
        ssize_t n = readlink(device, target, targetSize - 1);
        target[n > 0 ? n : 0] = '\0';
    }
    // A link whose device has gone opens nothing.
    return stat(device, &status) == 0;
}

// ---- Open, settings, close --------------------------------------------------

SerialPort* serialOpen(unsigned portNumber) {
    char path[512];
    portDevicePath(portNumber, path, sizeof path);
    if (!path[0]) {
        traced("open", static_cast<long>(portNumber), false);
        return nullptr;
    }
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        traced("open", static_cast<long>(portNumber), false);
        return nullptr;
    }
    // TIOCEXCL keeps other users out but not root; the lock keeps out every
    // program that asks for it, this one included.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        traced("open", static_cast<long>(portNumber), false);
        return nullptr;
    }
    ioctl(fd, TIOCEXCL);
    traced("open", static_cast<long>(portNumber), true);
    return new SerialPort{fd, portNumber};
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

void serialPurge(SerialPort* port) {
    if (!port) return;
    // Only the input: a write here is either complete (handed to the device,
    // as a completed write on Windows has gone out) or was cancelled when it
    // gave up, so no output is pending to abort. Flushing the output queue
    // would drop frames already reported as written, such as the last frame
    // before a close.
    traced("purge", static_cast<long>(port->number), tcflush(port->fd, TCIFLUSH) == 0);
}

void serialClose(SerialPort* port) {
    if (!port) return;
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
    if (complete) return WaitFirst;
    return failed ? WaitFailed : WaitTimeout;
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
