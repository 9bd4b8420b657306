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

    // /dev/<tty> of a USB device on bus port `usbPort` ("1-2", or "1-4.2"
    // behind the hub on 1-4): a ttyUSB node sits below the USB interface, a
    // ttyACM one is the interface's own; the USB device above holds the
    // strings, a file only for a string that is not empty, and the hubs
    // above it their own. `byId` may be empty (no link).
    void addUsbDevice(const std::string& tty, const std::string& usbPort, const std::string& byId,
                      const std::string& manufacturer, const std::string& product)
    {
        std::string usb = kRootHub;
        writeUsbDevice(usb, "Linux 6.1.0-13-amd64 xhci-hcd", "xHCI Host Controller");
        for (size_t dot = usbPort.find('.'); dot != std::string::npos; dot = usbPort.find('.', dot + 1)) {
            usb += "/" + usbPort.substr(0, dot);
            writeUsbDevice(usb, "", "USB2.0 Hub");
        }
        usb += "/" + usbPort;
        writeUsbDevice(usb, manufacturer, product);
        const std::string interface = usb + "/" + usbPort + ":1.0";
        const bool usbSerial = tty.rfind("ttyUSB", 0) == 0;
        const std::string node = usbSerial ? interface + "/" + tty : interface;
        makeDirectory(usbSerial ? node : node + "/tty/" + tty);
        addTty(tty, node);
        if (!byId.empty())
            addById(byId, tty);
    }
    // /dev/<tty> of a built-in port: its sysfs device has no strings.
    void addPlatformDevice(const std::string& tty)
    {
        const std::string node = "/sys/devices/platform/serial8250";
        makeDirectory(node + "/tty/" + tty);
        addTty(tty, node);
    }
    // A board's own UART (/dev/ttyAMA0 on a Raspberry Pi), and the name the
    // board gives it (/dev/serial0).
    void addBoardUart(const std::string& tty, const std::string& boardName)
    {
        const std::string node = "/sys/devices/platform/soc/fe201000.serial";
        makeDirectory(node + "/tty/" + tty);
        addTty(tty, node);
        link("/dev/" + boardName, tty);
    }
    // A /dev/serial/by-id name for /dev/<tty>, and its removal.
    void addById(const std::string& name, const std::string& tty) { link("/dev/serial/by-id/" + name, "../../" + tty); }
    void removeById(const std::string& name) { std::filesystem::remove(root_ + "/dev/serial/by-id/" + name); }

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
    static constexpr const char* kRootHub = "/sys/devices/pci0000:00/0000:00:14.0/usb1";

    void writeUsbDevice(const std::string& usb, const std::string& manufacturer, const std::string& product)
    {
        makeDirectory(usb);
        write(usb + "/idVendor", "0403\n");
        if (!manufacturer.empty())
            write(usb + "/manufacturer", manufacturer + "\n");
        if (!product.empty())
            write(usb + "/product", product + "\n");
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
