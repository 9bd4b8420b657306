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
    // Its stable name, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
    // empty when it has none.
    std::string byId;
    // A USB device's own strings as its kernel reports them; empty otherwise.
    std::string manufacturer;
    std::string product;
};

// `device` as portDeviceFound gives it; a link of the user's is followed.
// /dev and /sys are read under the directory MERLIN_SYSROOT names ("/" when
// it is unset), so that tests can show it a tree of their own.
PortDevice describePortDevice(const char* device);
// "FTDI FT232R USB UART": the manufacturer and the product, either alone when
// the other is missing; empty when both are.
std::string productName(const PortDevice& device);

// Makes a device path a port of this process, ahead of the user's links and
// the table, and returns its number: the table's number when the path leads
// to one of its devices, else the highest one (kMaxPortNumber). Opened like
// any port: serial devices only, lock files honoured. Call it before any port
// opens; a second call replaces the first, and a null path gives the number
// back to its link and the table.
unsigned adoptDevicePath(const char* path);

}  // namespace platform
