// Network ports: address parsing, name resolution with a time limit, and the
// connected socket that stands in for a serial device.
#include "platform/posix/net_posix.h"

#include "platform/platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

// One resolution, shared with the thread that does it: a lookup that takes
// too long is left to finish on its own, and whichever side ends last frees
// the record.
struct Lookup {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    int result = 0;
    addrinfo* found = nullptr;
    ~Lookup()
    {
        if (found)
            freeaddrinfo(found);
    }
};

// The addresses of `host`, numeric ones at once, names within
// kResolveLimitMs; null with a reason otherwise.
addrinfo* resolve(const NetworkAddress& address, std::string* why)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = address.transport == Transport::Udp ? SOCK_DGRAM : SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    const std::string service = std::to_string(address.port);
    addrinfo* found = nullptr;
    if (getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found) == 0)
        return found;

    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, hints, host = address.host, service] {
            addrinfo* result = nullptr;
            const int code = getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
            std::lock_guard<std::mutex> hold(lookup->lock);
            lookup->result = code;
            lookup->found = result;
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error& error) {
        *why = "cannot resolve " + address.host + ": " + reasonOf(error.code().value());
        return nullptr;
    }
    std::unique_lock<std::mutex> hold(lookup->lock);
    if (!lookup->done.wait_for(hold, std::chrono::milliseconds(kResolveLimitMs), [&] { return lookup->finished; })) {
        *why = "name " + address.host + " not resolved within 2 s";
        return nullptr;
    }
    if (lookup->result != 0) {
        const bool unknown = lookup->result == EAI_NONAME || lookup->result == EAI_NODATA ||
                             lookup->result == EAI_FAIL || lookup->result == EAI_AGAIN;
        *why = unknown ? "name " + address.host + " not found"
                       : "cannot resolve " + address.host + ": " + lowerCase(gai_strerror(lookup->result));
        return nullptr;
    }
    found = lookup->found;
    lookup->found = nullptr;
    return found;
}

// Connects `fd` to `to`, waiting until `deadline` at most; 0 or an errno value.
int connectBy(int fd, const addrinfo* to, uint64_t deadline)
{
    if (connect(fd, to->ai_addr, to->ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    for (;;) {
        const uint64_t now = nowMilliseconds();
        if (now >= deadline)
            return ETIMEDOUT;
        pollfd writable = {fd, POLLOUT, 0};
        const int ready = poll(&writable, 1, static_cast<int>(deadline - now));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return errno;
        if (ready == 0)
            return ETIMEDOUT;
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            return errno;
        return error;
    }
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

int openNetworkPort(const NetworkAddress& address, std::string* why)
{
    addrinfo* found = resolve(address, why);
    if (!found)
        return -1;
    const uint64_t deadline = nowMilliseconds() + kConnectLimitMs;
    int fd = -1;
    int error = EADDRNOTAVAIL;
    // A TCP name may stand for several addresses (::1 and 127.0.0.1): the
    // first that takes the connection. A UDP connect sends nothing, so the
    // first address it accepts is the one.
    for (const addrinfo* at = found; at != nullptr && fd < 0; at = at->ai_next) {
        fd = socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        error = connectBy(fd, at, deadline);
        if (error != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        *why = error == ETIMEDOUT ? "no connection within 2 s" : reasonOf(error);
        return -1;
    }
    if (address.transport == Transport::Tcp) {
        // Frames are a few bytes each and wait for their reply: send each at once.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return fd;
}

}  // namespace platform
