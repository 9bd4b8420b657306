// A system tree of a test's own for MERLIN_SYSROOT, in a temporary directory:
// /dev and /sys as the kernel and udev lay them out for serial devices, USB
// ones with a /dev/serial/by-id link and their manufacturer and product
// strings. Native only (POSIX links). Each /dev node is a real terminal where
// the tests may make device nodes (as root): a node of a pseudo-terminal of
// the tree's own, so that only-terminals-are-ports holds for it too.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

class FakeSystem {
public:
    FakeSystem()
    {
        char pattern[] = "/tmp/merlin-sysroot-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            root_ = pattern;
    }
    ~FakeSystem()
    {
        for (int fd : terminals_)
            close(fd);
        std::error_code ignored;
        if (!root_.empty())
            std::filesystem::remove_all(root_, ignored);
    }
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    const std::string& root() const { return root_; }
    // False where a device node could not be made: the /dev entries are then
    // plain files, which are not ports.
    bool devicesAreTerminals() const { return devicesAreTerminals_; }

    // /dev/<tty> of a USB device on bus port `usbPort` ("1-2"): a ttyUSB node
    // sits below the USB interface, a ttyACM one is the interface's own; the
    // USB device above holds the strings. `byId` may be empty (no link).
    void addUsbDevice(const std::string& tty, const std::string& usbPort, const std::string& byId,
                      const std::string& manufacturer, const std::string& product)
    {
        const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + usbPort;
        const std::string interface = usb + "/" + usbPort + ":1.0";
        const bool usbSerial = tty.rfind("ttyUSB", 0) == 0;
        const std::string node = usbSerial ? interface + "/" + tty : interface;
        makeDirectory(usbSerial ? node : node + "/tty/" + tty);
        write(usb + "/manufacturer", manufacturer + "\n");
        write(usb + "/product", product + "\n");
        write(usb + "/idVendor", "0403\n");
        addTty(tty, node);
        if (!byId.empty())
            link("/dev/serial/by-id/" + byId, "../../" + tty);
    }
    // /dev/<tty> of a built-in port: its sysfs device has no strings.
    void addPlatformDevice(const std::string& tty)
    {
        const std::string node = "/sys/devices/platform/serial8250";
        makeDirectory(node + "/tty/" + tty);
        addTty(tty, node);
    }

private:
    void addTty(const std::string& tty, const std::string& node)
    {
        makeDirectory("/dev");
        int master = -1, slave = -1;
        struct stat status;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) == 0 && fstat(slave, &status) == 0 &&
            mknod((root_ + "/dev/" + tty).c_str(), S_IFCHR | 0600, status.st_rdev) == 0) {
            terminals_.push_back(master);
            terminals_.push_back(slave);
        } else {
            if (master >= 0)
                close(master);
            if (slave >= 0)
                close(slave);
            devicesAreTerminals_ = false;
            write("/dev/" + tty, "");
        }
        // As in sysfs, relative: "../../../devices/...".
        link("/sys/class/tty/" + tty + "/device", "../../.." + node.substr(4));
    }
    void makeDirectory(const std::string& path) { std::filesystem::create_directories(root_ + path); }
    void write(const std::string& path, const std::string& text)
    {
        std::filesystem::create_directories(std::filesystem::path(root_ + path).parent_path());
        std::ofstream(root_ + path) << text;
    }
    void link(const std::string& path, const std::string& target)
    {
        std::filesystem::create_directories(std::filesystem::path(root_ + path).parent_path());
        std::filesystem::create_symlink(target, root_ + path);
    }

    std::string root_;
    std::vector<int> terminals_;
    bool devicesAreTerminals_ = true;
};

// Points MERLIN_SYSROOT at a tree for the scope; unset again after.
class UseSystemRoot {
public:
    explicit UseSystemRoot(const std::string& root) { setenv("MERLIN_SYSROOT", root.c_str(), 1); }
    ~UseSystemRoot() { unsetenv("MERLIN_SYSROOT"); }
};
