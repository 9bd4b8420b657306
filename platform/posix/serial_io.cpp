// Reading and writing a port on POSIX. Reads are polled together with the
// stop event; the 1 ms read interval of the Windows driver is done here by
// gathering while bytes keep coming.
#include "platform/platform.h"
#include "platform/serial_trace.h"
#include "platform/posix/event_posix.h"
#include "platform/posix/serial_posix.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

// ---- Write ------------------------------------------------------------------

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
                    : port->kind == PortKind::Datagram
                        ? sendDatagram(port->link.get(), bytes + written, count - written)
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

// ---- Reads ------------------------------------------------------------------

// Reads into `into` as read() does: bytes, 0 at the end of a stream, or -1
// with errno. A datagram port delivers what it holds first, then one datagram
// at a time; an empty datagram or a "port unreachable" from a peer still
// starting up is nothing to read (EAGAIN), never a failure.
static ssize_t receiveSome(SerialRead* read, uint8_t* into, uint32_t room)
{
    if (read->kind != PortKind::Datagram)
        return ::read(read->fd, into, room);
    if (read->held.empty() && receiveDatagram(read) < 0)
        return -1;
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
    SerialRead* read = new SerialRead{port->fd, port->kind, {}, {}, {}, port->link};
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
        // outcome to collect, and it wins over the stop. A datagram port
        // takes its datagram here: one with nothing in it, or a refusal, is
        // nothing to collect, and the wait goes on at once.
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            if (read->kind != PortKind::Datagram || (fds[0].revents & POLLNVAL) || receiveDatagram(read) > 0 ||
                errno != EAGAIN)
                return WaitFirst;
            continue;
        }
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
    if (read->kind == PortKind::Stream) {
        shutdown(fd, SHUT_RDWR);
        if (read->link)
            tellPeerClosed(read->link.get());
    }
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
