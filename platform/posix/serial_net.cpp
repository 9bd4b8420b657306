// The network's part of a port: a socket to a WiFi adapter (datagrams) or a
// serial server (a stream) that stands in for a serial device.
#include "platform/platform.h"
#include "platform/serial_trace.h"
#include "platform/posix/net_posix.h"
#include "platform/posix/serial_posix.h"

#include <cerrno>
#include <string>
#include <vector>

#include <sys/socket.h>

namespace platform {

// Opens a port on the network; null with the reason recorded.
SerialPort* openNetwork(unsigned portNumber, const std::string& device, const std::string& address)
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
    forgetFailure();
    traced("open", static_cast<long>(portNumber), true);
    const PortKind kind = parsed.transport == Transport::Udp ? PortKind::Datagram : PortKind::Stream;
    return new SerialPort{fd, portNumber, termios(), kind, false};
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
