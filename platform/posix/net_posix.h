// Ports on the network for the POSIX backend: a WiFi adapter that carries
// the mount's frames over UDP (one datagram a frame, one a reply), or a
// serial server that carries the line's bytes over TCP. Addressed as
// "udp://HOST[:PORT]" or "tcp://HOST:PORT", wherever a device path goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/socket.h>

struct addrinfo;

namespace platform {

enum class Transport { Udp, Tcp };

// The port WiFi adapters of this family listen on.
constexpr unsigned kDefaultUdpPort = 11880;
// A name is resolved, and a TCP connection made, within about this long each.
constexpr uint32_t kResolveLimitMs = 2000;
constexpr uint32_t kConnectLimitMs = 2000;

struct NetworkAddress {
    Transport transport = Transport::Udp;
    std::string host;  // a name, or a numeric IPv4 or IPv6 address (no brackets)
    unsigned port = 0;
};

// Whether `text` is meant as a network address ("scheme://..."), good or not;
// a device path never holds "://".
bool isNetworkAddressText(const std::string& text);

// Parses "udp://HOST[:PORT]" or "tcp://HOST:PORT" (IPv6 in brackets when a
// port follows); false with a reason for the user otherwise.
bool parseNetworkAddress(const std::string& text, NetworkAddress* address, std::string* why);

// "udp://192.168.4.1:11880", "tcp://[::1]:2000": the address with its port.
std::string networkAddressText(const NetworkAddress& address);

// One address a name stood for, as the socket connects to it and as the
// user reads it ("127.0.0.1:11880", "[::1]:11880").
struct PeerAddress {
    sockaddr_storage address = {};
    socklen_t size = 0;
    std::string text;
};

// A network port's socket and where it is connected: for UDP every address
// the name stood for, in the resolver's order, so that the port can move on
// when the one in use refuses; for TCP the one that took the connection.
struct NetworkConnection {
    int fd = -1;
    std::vector<PeerAddress> peers;
    size_t inUse = 0;
};

// Resolves the host and connects a non-blocking socket to it: UDP at once,
// TCP within kConnectLimitMs. `stopFd` (an eventfd, or -1) ends the waits for
// the name and the connection at once when it becomes readable; a lookup
// still running is then left behind and its answer dropped. False with a
// reason for the user ("connection refused", "name not found", ...), or with
// an empty reason when stopped.
bool openNetworkPort(const NetworkAddress& address, int stopFd, NetworkConnection* connection, std::string* why);

// Connects a datagram port's socket to the address after the one in use,
// round the list, for when the one in use refused a datagram. False, the
// socket as it was, when the name stood for one address only.
bool connectNextPeer(NetworkConnection* connection);

// Name lookups go through getaddrinfo; a test may put a resolver of its own
// in its place, with the same contract (the list freed with freeaddrinfo).
// Null puts getaddrinfo back.
using NameResolver = int (*)(const char* host, const char* service, const addrinfo* hints, addrinfo** found);
void setNameResolver(NameResolver resolver);

}  // namespace platform
