// Network ports: address parsing, name resolution with a time limit, and the
// connected socket that stands in for a serial device.
#include "platform/posix/net_posix.h"

#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

const char kUsageHint[] = "use udp://HOST[:PORT] or tcp://HOST:PORT";

std::string lowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// strerror's text as the rest of a reason line: "Connection refused" →
// "connection refused".
std::string reasonOf(int error)
{
    std::string text = std::strerror(error);
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

bool parsePort(const std::string& text, unsigned* port)
{
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const unsigned long value = std::stoul(text);
    if (value < 1 || value > 65535)
        return false;
    *port = static_cast<unsigned>(value);
    return true;
}

std::atomic<NameResolver> nameResolver{nullptr};

// One resolution, shared with the thread that does it: a lookup that takes
// too long, or that a stop abandons, is left to finish on its own, and
// whichever side ends last frees the record. The eventfd wakes the waiter.
struct Lookup {
    std::mutex lock;
    bool finished = false;
    int result = 0;
    addrinfo* found = nullptr;
    int done = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ~Lookup()
    {
        if (found)
            freeaddrinfo(found);
        if (done >= 0)
            close(done);
    }
};

// What a wait for `fd` to be ready came to.
enum class Waited { Ready, Stopped, TimedOut, Failed };

// Waits until `fd` has `events`, the stop is set (when `stopFd` is one) or
// `deadline` passes.
Waited waitFor(int fd, short events, int stopFd, uint64_t deadline)
{
    for (;;) {
        const uint64_t now = nowMilliseconds();
        if (now >= deadline)
            return Waited::TimedOut;
        pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
        const int ready = poll(fds, stopFd >= 0 ? 2 : 1, static_cast<int>(std::min<uint64_t>(deadline - now, INT_MAX)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Waited::Failed;
        // The stop wins: after it nothing more is wanted of the port.
        if (stopFd >= 0 && (fds[1].revents & (POLLIN | POLLNVAL)))
            return Waited::Stopped;
        if (ready > 0 && fds[0].revents != 0)
            return Waited::Ready;
    }
}

// "127.0.0.1:11880", "[::1]:11880"; a v4-mapped address as the IPv4 one.
std::string addressText(const sockaddr* address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    port = ntohs(v6->sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
        inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], host, sizeof host);
        return std::string(host) + ":" + std::to_string(port);
    }
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

// The addresses of `host`, numeric ones at once, names within
// kResolveLimitMs or until the stop; empty with a reason otherwise (an empty
// reason when stopped).
std::vector<PeerAddress> resolve(const NetworkAddress& address, int stopFd, std::string* why)
{
    std::vector<PeerAddress> peers;
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = address.transport == Transport::Udp ? SOCK_DGRAM : SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    const std::string service = std::to_string(address.port);
    addrinfo* found = nullptr;
    if (getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found) != 0) {
        found = nullptr;
        hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
        auto lookup = std::make_shared<Lookup>();
        if (lookup->done < 0) {
            *why = "cannot resolve " + address.host + ": " + reasonOf(errno);
            return peers;
        }
        NameResolver resolver = nameResolver.load();
        try {
            std::thread([lookup, hints, host = address.host, service, resolver] {
                addrinfo* result = nullptr;
                const int code = resolver ? resolver(host.c_str(), service.c_str(), &hints, &result)
                                          : getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
                std::lock_guard<std::mutex> hold(lookup->lock);
                lookup->result = code;
                lookup->found = result;
                lookup->finished = true;
                const uint64_t one = 1;
                (void)!write(lookup->done, &one, sizeof one);
            }).detach();
        } catch (const std::system_error& error) {
            *why = "cannot resolve " + address.host + ": " + reasonOf(error.code().value());
            return peers;
        }
        const Waited waited = waitFor(lookup->done, POLLIN, stopFd, nowMilliseconds() + kResolveLimitMs);
        if (waited == Waited::Stopped) {
            why->clear();
            return peers;
        }
        std::lock_guard<std::mutex> hold(lookup->lock);
        if (!lookup->finished) {
            *why = "name " + address.host + " not resolved within 2 s";
            return peers;
        }
        if (lookup->result != 0) {
            const bool unknown = lookup->result == EAI_NONAME || lookup->result == EAI_NODATA ||
                                 lookup->result == EAI_FAIL || lookup->result == EAI_AGAIN;
            *why = unknown ? "name " + address.host + " not found"
                           : "cannot resolve " + address.host + ": " + lowerCase(gai_strerror(lookup->result));
            return peers;
        }
        found = lookup->found;
        lookup->found = nullptr;
    }
    for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
        if ((at->ai_family != AF_INET && at->ai_family != AF_INET6) || at->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        PeerAddress peer;
        std::memcpy(&peer.address, at->ai_addr, at->ai_addrlen);
        peer.size = at->ai_addrlen;
        peer.text = addressText(at->ai_addr);
        peers.push_back(peer);
    }
    freeaddrinfo(found);
    if (peers.empty())
        *why = "name " + address.host + " not found";
    return peers;
}

// Connects `fd` to `to`, waiting until `deadline` at most; 0, an errno
// value, or -1 when stopped.
int connectBy(int fd, const PeerAddress& to, int stopFd, uint64_t deadline)
{
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to.address), to.size) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    switch (waitFor(fd, POLLOUT, stopFd, deadline)) {
    case Waited::Stopped:
        return -1;
    case Waited::TimedOut:
        return ETIMEDOUT;
    case Waited::Failed:
        return errno;
    case Waited::Ready:
        break;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return errno;
    return error;
}

// The address as an IPv6 socket reaches it: an IPv4 one mapped (::ffff:a.b.c.d).
PeerAddress mappedToV6(const PeerAddress& peer)
{
    if (peer.address.ss_family != AF_INET)
        return peer;
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer.address);
    PeerAddress mapped;
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&mapped.address);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = v4->sin_port;
    v6->sin6_addr.s6_addr[10] = 0xFF;
    v6->sin6_addr.s6_addr[11] = 0xFF;
    std::memcpy(&v6->sin6_addr.s6_addr[12], &v4->sin_addr, 4);
    mapped.size = sizeof(sockaddr_in6);
    mapped.text = peer.text;
    return mapped;
}

// A datagram socket for every address the name stood for: one of both
// families when it stood for both (so the port can move between them on the
// same socket, which its reader keeps polling), else one of the family
// there is. An IPv4 address is then kept as the IPv6 socket reaches it.
int datagramSocket(std::vector<PeerAddress>* peers, int* error)
{
    const auto ofFamily = [peers](int family) {
        return std::any_of(peers->begin(), peers->end(),
                           [family](const PeerAddress& peer) { return peer.address.ss_family == family; });
    };
    const bool v6 = ofFamily(AF_INET6);
    if (v6) {
        const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int off = 0;
        if (fd >= 0 && (!ofFamily(AF_INET) || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0)) {
            for (PeerAddress& peer : *peers)
                peer = mappedToV6(peer);
            return fd;
        }
        *error = errno;
        if (fd >= 0)
            close(fd);
        if (!ofFamily(AF_INET))
            return -1;
        // No IPv6 here: the IPv4 addresses alone.
        peers->erase(std::remove_if(peers->begin(), peers->end(),
                                    [](const PeerAddress& peer) { return peer.address.ss_family != AF_INET; }),
                     peers->end());
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        *error = errno;
    return fd;
}

// Connects a datagram socket to peers[index]; 0 or an errno value. A socket
// that had a peer is first unconnected, so that the system picks the source
// address for the new one afresh.
int connectDatagram(int fd, const PeerAddress& peer, bool hadPeer)
{
    if (hadPeer) {
        sockaddr none = {};
        none.sa_family = AF_UNSPEC;
        connect(fd, &none, sizeof none);
    }
    return connect(fd, reinterpret_cast<const sockaddr*>(&peer.address), peer.size) == 0 ? 0 : errno;
}

}  // namespace

bool isNetworkAddressText(const std::string& text)
{
    return text.find("://") != std::string::npos;
}

bool parseNetworkAddress(const std::string& text, NetworkAddress* address, std::string* why)
{
    const size_t separator = text.find("://");
    if (separator == std::string::npos) {
        *why = std::string("not a network address: ") + kUsageHint;
        return false;
    }
    const std::string scheme = lowerCase(text.substr(0, separator));
    if (scheme == "udp") {
        address->transport = Transport::Udp;
    } else if (scheme == "tcp") {
        address->transport = Transport::Tcp;
    } else {
        *why = "unknown kind of address '" + text.substr(0, separator) + "://': " + kUsageHint;
        return false;
    }
    std::string rest = text.substr(separator + 3);
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string port;
    bool portGiven = false;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || (close + 1 < rest.size() && rest[close + 1] != ':')) {
            *why = std::string("bad address: ") + kUsageHint;
            return false;
        }
        address->host = rest.substr(1, close - 1);
        portGiven = close + 1 < rest.size();
        if (portGiven)
            port = rest.substr(close + 2);
    } else if (std::count(rest.begin(), rest.end(), ':') > 1) {
        address->host = rest;  // a bare IPv6 address, which leaves no room for a port
    } else {
        const size_t colon = rest.find(':');
        address->host = rest.substr(0, colon);
        portGiven = colon != std::string::npos;
        if (portGiven)
            port = rest.substr(colon + 1);
    }
    if (address->host.empty() || address->host.find_first_of("/?#@ \t") != std::string::npos) {
        *why = std::string("no host in the address: ") + kUsageHint;
        return false;
    }
    if (!portGiven) {
        if (address->transport == Transport::Tcp) {
            *why = "a TCP address needs its port: tcp://HOST:PORT";
            return false;
        }
        address->port = kDefaultUdpPort;
    } else if (!parsePort(port, &address->port)) {
        *why = "bad port '" + port + "': a number from 1 to 65535";
        return false;
    }
    return true;
}

std::string networkAddressText(const NetworkAddress& address)
{
    const bool bracketed = address.host.find(':') != std::string::npos;
    return std::string(address.transport == Transport::Udp ? "udp://" : "tcp://") + (bracketed ? "[" : "") +
           address.host + (bracketed ? "]" : "") + ":" + std::to_string(address.port);
}

bool openNetworkPort(const NetworkAddress& address, int stopFd, NetworkConnection* connection, std::string* why)
{
    std::vector<PeerAddress> peers = resolve(address, stopFd, why);
    if (peers.empty())
        return false;
    int error = EADDRNOTAVAIL;
    if (address.transport == Transport::Udp) {
        // A UDP connect sends nothing, so any address the system can route
        // to is taken; one that refuses is left later, when its refusal comes.
        const int fd = datagramSocket(&peers, &error);
        for (size_t at = 0; fd >= 0 && at < peers.size(); ++at) {
            error = connectDatagram(fd, peers[at], false);
            if (error == 0) {
                connection->fd = fd;
                connection->peers = std::move(peers);
                connection->inUse = at;
                return true;
            }
        }
        if (fd >= 0)
            close(fd);
        *why = reasonOf(error);
        return false;
    }
    // A TCP name may stand for several addresses (::1 and 127.0.0.1): the
    // first that takes the connection.
    const uint64_t deadline = nowMilliseconds() + kConnectLimitMs;
    for (const PeerAddress& peer : peers) {
        const int fd = socket(peer.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        error = connectBy(fd, peer, stopFd, deadline);
        if (error == 0) {
            // Frames are a few bytes each and wait for their reply: send each at once.
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            connection->fd = fd;
            connection->peers = {peer};
            connection->inUse = 0;
            return true;
        }
        close(fd);
        if (error < 0) {
            why->clear();
            return false;
        }
        if (error == ETIMEDOUT)
            break;
    }
    *why = error == ETIMEDOUT ? "no connection within 2 s" : reasonOf(error);
    return false;
}

bool connectNextPeer(NetworkConnection* connection)
{
    const size_t count = connection->peers.size();
    for (size_t step = 1; step < count; ++step) {
        const size_t next = (connection->inUse + step) % count;
        if (connectDatagram(connection->fd, connection->peers[next], true) == 0) {
            connection->inUse = next;
            return true;
        }
    }
    // None other would take it: back to the one in use.
    if (count > 1)
        connectDatagram(connection->fd, connection->peers[connection->inUse], true);
    return false;
}

void setNameResolver(NameResolver resolver)
{
    nameResolver.store(resolver);
}

}  // namespace platform
