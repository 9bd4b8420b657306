// The network's part of a port: a socket to a WiFi adapter (datagrams) or a
// serial server (a stream) that stands in for a serial device.
#include "platform/platform.h"
#include "platform/serial_trace.h"
#include "platform/posix/event_posix.h"
#include "platform/posix/net_posix.h"
#include "platform/posix/serial_posix.h"

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/socket.h>

namespace platform {

namespace {

void note(unsigned portNumber, const std::string& text)
{
    traced("note", static_cast<long>(portNumber), true, reinterpret_cast<const uint8_t*>(text.data()),
           static_cast<uint32_t>(text.size()));
}

// Where frames go now, for the trace: a name may stand for several addresses.
std::string peerNote(const NetworkConnection& connection, PortKind kind)
{
    return (kind == PortKind::Datagram ? "sending to " : "connected to ") + connection.peers[connection.inUse].text;
}

// After a refusal: on to the next address, said in the trace. Under the
// link's lock, so that no datagram goes out while the peer changes. A
// refusal the reader hears is for the latest frame, whose reply the engine
// now waits for: it goes again, to the new address, once round the list at
// most (where every address refuses, a frame never bounces for ever).
bool moveOnLocked(NetworkLink* link, bool resendLatest)
{
    if (link->closed)
        return false;
    const std::string refused = link->connection.peers[link->connection.inUse].text;
    if (!connectNextPeer(&link->connection))
        return false;
    note(link->number, refused + " refused: " + peerNote(link->connection, PortKind::Datagram));
    if (!resendLatest || link->lastSent.empty() || link->resends + 1 >= link->connection.peers.size())
        return true;
    ++link->resends;
    if (send(link->connection.fd, link->lastSent.data(), link->lastSent.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0)
        traced("write", static_cast<long>(link->lastSent.size()), true, link->lastSent.data(),
               static_cast<uint32_t>(link->lastSent.size()));
    return true;
}

}  // namespace

SerialPort* openNetwork(unsigned portNumber, const std::string& device, const std::string& address, Event* stop)
{
    NetworkAddress parsed;
    std::string why;
    auto link = std::make_shared<NetworkLink>();
    bool opened = false;
    if (parseNetworkAddress(address, &parsed, &why))
        opened = openNetworkPort(parsed, stop ? stop->fd : -1, &link->connection, &why);
    if (!opened) {
        // Stopped: the program is ending, and no reason is wanted.
        if (why.empty())
            forgetFailure();
        else
            recordFailureText(portNumber, device, why);
        traced("open", static_cast<long>(portNumber), false);
        return nullptr;
    }
    forgetFailure();
    traced("open", static_cast<long>(portNumber), true);
    const PortKind kind = parsed.transport == Transport::Udp ? PortKind::Datagram : PortKind::Stream;
    note(portNumber, peerNote(link->connection, kind));
    link->number = portNumber;
    link->device = device;
    const int fd = link->connection.fd;
    return new SerialPort{fd, portNumber, termios(), kind, false, std::move(link)};
}

ssize_t sendDatagram(NetworkLink* link, const uint8_t* bytes, size_t count)
{
    std::lock_guard<std::mutex> hold(link->lock);
    ssize_t n = send(link->connection.fd, bytes, count, MSG_NOSIGNAL);
    // The refusal is an earlier datagram's: this one was not sent.
    if (n < 0 && errno == ECONNREFUSED && moveOnLocked(link, false))
        n = send(link->connection.fd, bytes, count, MSG_NOSIGNAL);
    if (n > 0) {
        link->lastSent.assign(bytes, bytes + n);
        link->resends = 0;
    }
    return n;
}

ssize_t receiveDatagram(SerialRead* read)
{
    // Bounded, so that a flood of empty datagrams still lets the caller see
    // its stop; what is left is read at the next turn.
    constexpr int kMaxSkipped = 256;
    for (int i = 0; i < kMaxSkipped; ++i) {
        const ssize_t n = recv(read->fd, read->datagram.data(), read->datagram.size(), MSG_DONTWAIT);
        if (n > 0) {
            read->held.assign(read->datagram.begin(), read->datagram.begin() + n);
            return n;
        }
        if (n == 0)
            continue;
        if (errno == EINTR)
            continue;
        // "Port unreachable": nothing listens at the address in use (or the
        // adapter is still starting). Another address of the name may.
        if (errno == ECONNREFUSED) {
            if (read->link) {
                std::lock_guard<std::mutex> hold(read->link->lock);
                moveOnLocked(read->link.get(), true);
            }
            continue;
        }
        return -1;
    }
    errno = EAGAIN;
    return -1;
}

void tellPeerClosed(NetworkLink* link)
{
    {
        std::lock_guard<std::mutex> hold(link->lock);
        if (link->closed || link->toldPeerClosed)
            return;
        link->toldPeerClosed = true;
    }
    recordFailureText(link->number, link->device, "connection closed by the peer");
    char text[1024];
    serialOpenFailure(text, sizeof text);
    note(link->number, text);
}

void closeNetworkLink(NetworkLink* link)
{
    std::lock_guard<std::mutex> hold(link->lock);
    link->closed = true;
}

// Empties what a socket has received, up to a bound, so that a flood cannot
// hold the purge.
bool drainReceived(int fd)
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

}  // namespace platform
