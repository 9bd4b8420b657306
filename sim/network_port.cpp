#include "sim/network_port.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

namespace {

int openSocket(int family, int type)
{
    return ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

}  // namespace

bool NetworkPort::setAddress(const std::string& where, std::string* why)
{
    // "HOST:PORT", the host in brackets when it is an IPv6 address.
    std::string host, port;
    const size_t colon = where.rfind(':');
    if (colon == std::string::npos) {
        *why = "'" + where + "' is not ADDRESS:PORT";
        return false;
    }
    host = where.substr(0, colon);
    port = where.substr(colon + 1);
    // Digits only and no more than a port holds: the resolver would take
    // " 5" as 5 and 70000 as 4464.
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) > 65535) {
        *why = "'" + where + "': the port is not a number from 0 to 65535";
        return false;
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = kind_ == Kind::Udp ? SOCK_DGRAM : SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (host.empty() || port.empty() || getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
        *why = "'" + where + "' is not a numeric ADDRESS:PORT";
        return false;
    }
    std::memcpy(&bound_, found->ai_addr, found->ai_addrlen);
    boundSize_ = found->ai_addrlen;
    freeaddrinfo(found);
    return true;
}

bool NetworkPort::listen(std::string* why)
{
    if (!restore()) {
        *why = "cannot listen on " + address() + ": " + std::strerror(errno);
        return false;
    }
    // Port 0 chose one: keep it, so that a restore comes back on it.
    boundSize_ = sizeof bound_;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&bound_), &boundSize_);
    return true;
}

std::string NetworkPort::address() const
{
    char host[INET6_ADDRSTRLEN] = {};
    unsigned port = 0;
    const bool v6 = bound_.ss_family == AF_INET6;
    if (v6) {
        const auto* in = reinterpret_cast<const sockaddr_in6*>(&bound_);
        inet_ntop(AF_INET6, &in->sin6_addr, host, sizeof host);
        port = ntohs(in->sin6_port);
    } else {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&bound_);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
    }
    return std::string(kind_ == Kind::Udp ? "udp://" : "tcp://") + (v6 ? "[" : "") + host + (v6 ? "]" : "") + ":" +
           std::to_string(port);
}

void NetworkPort::vanish()
{
    dropClient();
    if (socket_ >= 0)
        ::close(socket_);
    socket_ = -1;
    peerSize_ = 0;
}

bool NetworkPort::restore()
{
    if (socket_ >= 0)
        return true;
    socket_ = openSocket(bound_.ss_family, kind_ == Kind::Udp ? SOCK_DGRAM : SOCK_STREAM);
    if (socket_ < 0)
        return false;
    const int on = 1;
    setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(socket_, reinterpret_cast<const sockaddr*>(&bound_), boundSize_) != 0 ||
        (kind_ == Kind::Tcp && ::listen(socket_, 4) != 0)) {
        const int error = errno;
        ::close(socket_);
        socket_ = -1;
        errno = error;
        return false;
    }
    return true;
}

void NetworkPort::pollFor(pollfd* entries, bool reading, bool writing) const
{
    // A listener is always served: a second client is turned away at once.
    const bool listening = kind_ == Kind::Tcp;
    entries[0] = {socket_, short(reading || listening ? POLLIN : 0), 0};
    // A client's hang-up is seen even while nothing is read from it.
    entries[1] = {client_, short((reading ? POLLIN : 0) | (writing ? POLLOUT : 0) | POLLRDHUP), 0};
}

bool NetworkPort::take(const pollfd* entries, std::string* into)
{
    char buffer[65536];
    const size_t before = into->size();
    if (kind_ == Kind::Udp) {
        if (socket_ < 0 || !(entries[0].revents & (POLLIN | POLLERR)))
            return false;
        // A bounded round, so that a client's flood cannot hold the loop.
        for (int i = 0; i < 64 && into->size() - before < kReadRound; ++i) {
            sockaddr_storage from;
            socklen_t fromSize = sizeof from;
            const ssize_t n =
                ::recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
            if (n < 0 && (errno == EINTR || errno == ECONNREFUSED))
                continue;
            if (n < 0)
                break;
            peer_ = from;
            peerSize_ = fromSize;
            into->append(buffer, size_t(n));
        }
        return into->size() > before;
    }
    // The client first: one that has just hung up makes room for the next.
    if (client_ >= 0 && entries[1].fd == client_ && (entries[1].revents & (POLLIN | POLLHUP | POLLERR | POLLRDHUP)))
        readClient(into, before, (entries[1].events & POLLIN) != 0);
    if (socket_ >= 0 && (entries[0].revents & POLLIN)) {
        const int accepted = ::accept4(socket_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        // A quick reconnect: the old client's hang-up may have come after
        // the poll that saw the new one.
        if (accepted >= 0 && client_ >= 0 && clientHungUp())
            readClient(into, before, (entries[1].events & POLLIN) != 0);
        if (accepted >= 0 && client_ >= 0) {
            ::close(accepted);  // one client at a time, as a serial server
        } else if (accepted >= 0) {
            client_ = accepted;
            const int on = 1;
            setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
    }
    return into->size() > before;
}

bool NetworkPort::clientHungUp() const
{
    pollfd entry = {client_, POLLRDHUP, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// Reads what the client sent, a round's worth at most, when `reading`;
// drops it when it has closed its end or reset it.
void NetworkPort::readClient(std::string* into, size_t before, bool reading)
{
    char buffer[65536];
    for (;;) {
        if (!reading || into->size() - before >= kReadRound) {
            if (clientHungUp())
                dropClient();  // what it sent last is not read: nobody waits for the answers
            return;
        }
        const ssize_t n = ::read(client_, buffer, sizeof buffer);
        if (n > 0) {
            into->append(buffer, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (!(n < 0 && errno == EAGAIN))
            dropClient();  // the client closed its end, or reset it
        return;
    }
}

void NetworkPort::discardInput()
{
    std::string ignored;
    const int fd = kind_ == Kind::Udp ? socket_ : client_;
    pollfd entries[kPollEntries] = {{socket_, POLLIN, POLLIN}, {client_, POLLIN, POLLIN}};
    if (fd >= 0)
        take(entries, &ignored);
}

ssize_t NetworkPort::send(const char* bytes, size_t size)
{
    ssize_t n = -1;
    if (kind_ == Kind::Udp && socket_ >= 0 && peerSize_ > 0)
        n = ::sendto(socket_, bytes, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&peer_), peerSize_);
    else if (kind_ == Kind::Tcp && client_ >= 0)
        n = ::send(client_, bytes, size, MSG_NOSIGNAL);
    else
        return ssize_t(size);  // nobody to hear it
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        errno = EAGAIN;
        return -1;
    }
    if (n < 0) {
        if (kind_ == Kind::Tcp)
            dropClient();
        return ssize_t(size);
    }
    return n;
}

void NetworkPort::dropClient()
{
    if (client_ >= 0) {
        ::close(client_);
        hungUp_ = true;
    }
    client_ = -1;
}

bool NetworkPort::takeHangUp()
{
    const bool hungUp = hungUp_;
    hungUp_ = false;
    return hungUp;
}

}  // namespace sim
