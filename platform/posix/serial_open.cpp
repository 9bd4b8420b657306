// Opening a serial port on POSIX: a termios device in non-blocking mode,
// locked against other programs, its line set to 9600 8N1; the purge and the
// close.
#include "platform/platform.h"
#include "platform/serial_trace.h"
#include "platform/posix/serial_posix.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

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

SerialPort* serialOpen(unsigned portNumber, Event* stop)
{
    int error = ENOENT;
    const std::string path = portDevice(portNumber, &error);
    const std::string address = networkTarget(path);
    if (!address.empty())
        return openNetwork(portNumber, path, address, stop);
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
    forgetFailure();
    ioctl(fd, TIOCEXCL);
    traced("open", static_cast<long>(portNumber), true);
    return new SerialPort{fd, portNumber, found, PortKind::Device, false, nullptr};
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
bool waitForOutput(int fd)
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
        closeNetworkLink(port->link.get());
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

}  // namespace platform
