// The simulator's data port on the network, beside its pseudo-terminal: a
// UDP socket that answers whoever sent the latest datagram (one datagram a
// piece of output, as a WiFi adapter sends), or a TCP listener that serves
// one client at a time, as a serial server does.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <string>

namespace sim {

class NetworkPort {
public:
    enum class Kind { Udp, Tcp };
    // pollfd entries a port fills: its socket (or listener) and a TCP client.
    static constexpr int kPollEntries = 2;
    // Bytes taken in one call, at most.
    static constexpr size_t kReadRound = 65536;

    explicit NetworkPort(Kind kind) : kind_(kind) {}
    ~NetworkPort() { vanish(); }
    NetworkPort(const NetworkPort&) = delete;
    NetworkPort& operator=(const NetworkPort&) = delete;

    // Takes "ADDR:PORT" ("127.0.0.1:0", "[::1]:11880"; port 0 lets the system
    // choose); false with a reason when it is no numeric address and port.
    bool setAddress(const std::string& where, std::string* why);
    // Binds the address; false with a reason otherwise.
    bool listen(std::string* why);
    // The address a client gives: "udp://127.0.0.1:41234".
    std::string address() const;

    // Closes every socket, as an adapter switched off; restore() binds the
    // same address and port again.
    void vanish();
    bool restore();

    // Fills kPollEntries entries; `reading` false while the simulator stalls.
    void pollFor(pollfd* entries, bool reading, bool writing) const;
    // Takes what the entries report: accepts a client, appends what came in.
    // True when bytes came, so that the answers go back this way.
    bool take(const pollfd* entries, std::string* into);
    // True once after the TCP client went away: what waits for it is for
    // nobody, and the next client must not get it.
    bool takeHangUp();
    // Drops what has been received and not yet read.
    void discardInput();
    // Sends one piece of output: the bytes taken (all of them when nobody can
    // hear it), or -1 with errno EAGAIN while the client's queue is full.
    ssize_t send(const char* bytes, size_t size);

private:
    void dropClient();
    bool clientHungUp() const;
    void readClient(std::string* into, size_t before, bool reading);

    Kind kind_;
    int socket_ = -1;  // the UDP socket, or the TCP listener
    int client_ = -1;  // the TCP client
    bool hungUp_ = false;
    sockaddr_storage bound_ = {};
    socklen_t boundSize_ = 0;
    sockaddr_storage peer_ = {};  // the latest UDP sender
    socklen_t peerSize_ = 0;
};

}  // namespace sim
