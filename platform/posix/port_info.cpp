// What the system says about a port's device: its stable name in
// /dev/serial/by-id and, for a USB device, the manufacturer and product
// strings its kernel reports in sysfs. /dev and /sys are read under
// MERLIN_SYSROOT ("/" when unset), so tests can show it a tree of their own.
#include "platform/port_names.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <unistd.h>

namespace platform {

namespace {

// Links followed from a port to its device, at most; a loop ends there.
constexpr int kMaxLinks = 16;
// Levels walked up from a tty's sysfs device to its USB device: the tty's
// own node, the USB interface, the USB device, with room to spare.
constexpr int kMaxLevelsUp = 6;
constexpr size_t kMaxAttributeSize = 256;

std::string systemRoot()
{
    const char* root = std::getenv("MERLIN_SYSROOT");
    std::string path = root != nullptr ? root : "";
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    return path;
}

// Where a system path is read: /dev and /sys under the root, anything else
// (a link of the user's, what it points to) as it is.
std::string underRoot(const std::string& root, const std::string& path)
{
    if (path.rfind("/dev/", 0) == 0 || path.rfind("/sys/", 0) == 0 || path == "/sys")
        return root + path;
    return path;
}

// "/dev/serial/by-id/../../ttyUSB0" → "/dev/ttyUSB0", without asking the file
// system (the path may be one under the root).
std::string normalised(const std::string& path)
{
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string out;
    for (const std::string& part : parts)
        out += "/" + part;
    return out.empty() ? "/" : out;
}

std::string directoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows links from `path` to the device itself; `byId` gets the first
// /dev/serial/by-id name passed on the way (the one a user's link chose).
std::string followLinks(const std::string& root, std::string path, std::string* byId)
{
    for (int hop = 0; hop < kMaxLinks; ++hop) {
        if (byId != nullptr && byId->empty() && path.rfind("/dev/serial/by-id/", 0) == 0)
            *byId = path;
        char target[PATH_MAX];
        const ssize_t n = readlink(underRoot(root, path).c_str(), target, sizeof target - 1);
        if (n <= 0)
            break;
        target[n] = '\0';
        path = normalised(target[0] == '/' ? std::string(target) : directoryOf(path) + "/" + target);
    }
    return path;
}

// A kernel string as one line of printable text: a device chooses its own
// strings, and they end up in a tab-separated list and in the dialog.
std::string printable(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return text;
}

std::string readAttribute(const std::string& directory, const char* name)
{
    std::FILE* file = std::fopen((directory + "/" + name).c_str(), "r");
    if (file == nullptr)
        return std::string();
    char buffer[kMaxAttributeSize];
    const size_t n = std::fread(buffer, 1, sizeof buffer, file);
    std::fclose(file);
    return printable(std::string(buffer, n));
}

// The USB device above a tty in sysfs: the first directory up from the tty's
// device that holds the manufacturer or product string.
void readUsbStrings(const std::string& root, const std::string& tty, PortDevice* out)
{
    char resolved[PATH_MAX];
    const std::string device = underRoot(root, "/sys/class/tty/" + tty + "/device");
    if (tty.empty() || realpath(device.c_str(), resolved) == nullptr)
        return;
    char sysfs[PATH_MAX];
    if (realpath(underRoot(root, "/sys").c_str(), sysfs) == nullptr)
        return;
    const std::string top = sysfs;
    std::string directory = resolved;
    for (int level = 0; level < kMaxLevelsUp && directory.size() > top.size(); ++level) {
        out->manufacturer = readAttribute(directory, "manufacturer");
        out->product = readAttribute(directory, "product");
        if (!out->manufacturer.empty() || !out->product.empty())
            return;
        directory = directoryOf(directory);
    }
}

// The /dev/serial/by-id link that leads to the kernel's device `tty`.
std::string findById(const std::string& root, const std::string& tty)
{
    const std::string directory = "/dev/serial/by-id";
    DIR* entries = opendir(underRoot(root, directory).c_str());
    if (entries == nullptr)
        return std::string();
    std::string found;
    while (dirent* entry = readdir(entries)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string link = directory + "/" + name;
        if (baseName(followLinks(root, link, nullptr)) == tty && (found.empty() || link < found))
            found = link;
    }
    closedir(entries);
    return found;
}

}  // namespace

PortDevice describePortDevice(const char* device)
{
    PortDevice description;
    if (device == nullptr || device[0] == '\0')
        return description;
    const std::string root = systemRoot();
    std::string byId;
    const std::string tty = baseName(followLinks(root, device, &byId));
    description.byId = printable(byId.empty() ? findById(root, tty) : byId);
    readUsbStrings(root, tty, &description);
    return description;
}

std::string productName(const PortDevice& device)
{
    if (device.product.empty())
        return device.manufacturer;
    // Some makers repeat their name in the product string.
    if (device.manufacturer.empty() || device.product.rfind(device.manufacturer, 0) == 0)
        return device.product;
    return device.manufacturer + " " + device.product;
}

}  // namespace platform
