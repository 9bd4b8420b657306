// What a COM number opens on this machine, for the Linux program's port list
// and command line (the POSIX backend provides it; the Windows program keeps
// its plain "COMn" list).
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The device that port N opens (as portDevicePath gives it) and, when that is
// a link of the user's, the link's own target in *target (empty otherwise).
// True when the device exists now; a link to a vanished device does not.
bool portDeviceFound(unsigned portNumber, char* device, size_t deviceSize, char* target, size_t targetSize);

// What the system says about a device (port_info.cpp).
struct PortDevice {
    // Its stable name, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0",
    // or "/dev/serial0" for a board's own UART; empty when it has none.
    std::string byId;
    // The device's own name once links are followed, as /dev names it:
    // "ttyUSB0", "pts/3".
    std::string kernelName;
    // The strings of the USB device the tty belongs to (never of a hub above
    // it), as its kernel reports them: bytes the device chose, cut at a
    // character boundary after kMaxNameCharacters. Empty otherwise. Escape
    // them before showing them (displayText, or the listing's escapes).
    std::string manufacturer;
    std::string product;
    // The simulator's control line (merlin-sim leaves a link "<link>.control"
    // beside each link it makes to it): not a mount.
    bool simulatorControl = false;
};

// A USB string holds at most 126 characters.
constexpr size_t kMaxNameCharacters = 126;

// While one lives, the descriptions made on its thread read what all ports
// share (the /dev/serial/by-id names) once: a listing asks for every port,
// and a machine may hold thousands of such names.
class PortListing {
public:
    PortListing();
    ~PortListing();
    PortListing(const PortListing&) = delete;
    PortListing& operator=(const PortListing&) = delete;

private:
    bool outer_;
};

// `device` as portDeviceFound gives it; a link of the user's is followed.
// /dev and /sys are read under the directory MERLIN_SYSROOT names ("/" when
// it is unset), so that tests can show it a tree of their own.
PortDevice describePortDevice(const char* device);
// "FTDI FT232R USB UART": the manufacturer and the product, either alone when
// the other is missing; empty when both are. The simulator's control line is
// "merlin-sim control line".
std::string productName(const PortDevice& device);

// Bytes as one line of text fit to show: valid UTF-8 stays, a control
// character, a byte that is not UTF-8 and the backslash are escaped as in the
// frame trace (\t, \n, \r, \\, \xHH).
std::string displayText(const std::string& bytes);

// Whether a command-line word names a device by its path rather than a COM
// number: anything holding a '/' ("/dev/ttyUSB0", "./ttyUSB0") or "://" (a
// network address), or the name of a file here that is no COM number.
bool isDevicePathText(const char* text);

// Makes a device path a port of this process, ahead of the user's links and
// the table, and returns its number: the table's number when the path leads
// to one of its devices, else the highest one (kMaxPortNumber). Opened like
// any port: serial devices only, lock files honoured. Call it before any port
// opens; a second call replaces the first, and a null path gives the number
// back to its link and the table.
unsigned adoptDevicePath(const char* path);

}  // namespace platform
