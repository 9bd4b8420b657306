// What the POSIX serial backend's files share: the records behind a port and
// a read, and the few steps one file takes for another (which device a
// number opens, why an open failed, the network's part of a port).
#pragma once

#include "platform/platform.h"
#include "platform/posix/net_posix.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>
#include <termios.h>

namespace platform {

// What stands behind a port: a terminal device, or a socket to a WiFi
// adapter (datagrams) or a serial server (a stream).
enum class PortKind { Device, Datagram, Stream };

// A network port's connection, shared by the port and its reader: either
// side moves a datagram port on to the next address when the one in use
// refuses, and a reader that outlives its port finds the link closed.
struct NetworkLink {
    std::mutex lock;
    NetworkConnection connection;
    unsigned number = 0;
    std::string device;             // as the port's reason lines name it
    std::vector<uint8_t> lastSent;  // a datagram port's latest frame
    size_t resends = 0;             // ... and how often it went again
    bool closed = false;
    bool toldPeerClosed = false;
};

struct SerialPort {
    int fd;
    unsigned number;
    termios found;  // the settings it had, put back when it is closed
    PortKind kind;
    bool toldNoModemLines;
    std::shared_ptr<NetworkLink> link;  // null for a device
};

// A datagram is read whole; what does not fit a read waits for the next.
constexpr size_t kMaxDatagram = 65536;

// Keeps its own copy of the descriptor, not the port: a reader that has not
// ended when its port is closed must not touch the released record.
struct SerialRead {
    int fd;
    PortKind kind;
    uint8_t data[kSerialReadSize];
    std::vector<uint8_t> held;  // the rest of a datagram larger than a read
    std::vector<uint8_t> datagram;
    std::shared_ptr<NetworkLink> link;
};

// ---- Port names (serial_names.cpp) -----------------------------------------

// A device path given on the command line, as this process's own port.
extern unsigned adoptedPort;
extern std::string adoptedDevice;

std::string portLinkPath(unsigned portNumber);
std::string portDevice(unsigned portNumber, int* lookError = nullptr);
std::string networkTarget(const std::string& device);
int serialDeviceError(const char* path);

// ---- Why an open failed (serial_busy.cpp) -----------------------------------

pid_t lockFileHolderOf(const char* path);
void recordFailureText(unsigned portNumber, const std::string& device, const std::string& why);
void recordFailure(unsigned portNumber, const std::string& device, int error, pid_t holder);
void forgetFailure();

// ---- Open and close (serial_open.cpp) ---------------------------------------

bool waitForOutput(int fd);

// ---- Ports on the network (serial_net.cpp) ----------------------------------

// Null with the reason recorded; null with none when `stop` ended the wait.
SerialPort* openNetwork(unsigned portNumber, const std::string& device, const std::string& address, Event* stop);
bool drainReceived(int fd);
// One datagram to the peer in use; a refusal (for an earlier one) moves the
// port on to the next address first, when the name has another.
ssize_t sendDatagram(NetworkLink* link, const uint8_t* bytes, size_t count);
// The next datagram that holds something into read->held: its size, or -1
// with errno (EAGAIN when none is waiting). Empty ones are skipped, and a
// refusal moves the port on as a send's does.
ssize_t receiveDatagram(SerialRead* read);
// A stream whose peer closed or reset it: said once, as the port's reason
// and in the trace.
void tellPeerClosed(NetworkLink* link);
// The port is going: nothing may touch its descriptor from now on.
void closeNetworkLink(NetworkLink* link);

}  // namespace platform
