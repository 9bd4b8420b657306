// Ports on the network for the POSIX backend: a WiFi adapter that carries
// the mount's frames over UDP (one datagram a frame, one a reply), or a
// serial server that carries the line's bytes over TCP. Addressed as
// "udp://HOST[:PORT]" or "tcp://HOST:PORT", wherever a device path goes.
#pragma once

#include <cstdint>
#include <string>

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

// Resolves the host and connects a non-blocking socket to it: UDP at once,
// TCP within kConnectLimitMs. The descriptor, or -1 with a reason for the
// user ("connection refused", "name not found", ...).
int openNetworkPort(const NetworkAddress& address, std::string* why);

}  // namespace platform
