// What the system says about a port's device: its stable name in
// /dev/serial/by-id and, for a USB device, the manufacturer and product
// strings its kernel reports in sysfs. /dev and /sys are read under
// MERLIN_SYSROOT ("/" when unset), so tests can show it a tree of their own.
#include "platform/port_names.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Links followed from a port to its device, at most; a loop ends there.
constexpr int kMaxLinks = 16;
// Levels walked up from a tty's sysfs device to its USB device: the tty's
// own node, the USB interface, the USB device, with room to spare.
constexpr int kMaxLevelsUp = 6;
constexpr size_t kMaxAttributeSize = 4096;

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

// The length of the UTF-8 character at `text` (1 to 4 bytes), or 0 when the
// bytes there are none: a stray continuation, an overlong form, a surrogate,
// past U+10FFFF or cut short.
size_t characterLength(const unsigned char* text, size_t size)
{
    const unsigned char lead = text[0];
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (size < length || text[1] < low || text[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (text[i] < 0x80 || text[i] > 0xBF)
            return 0;
    return length;
}

// At most kMaxNameCharacters characters (a byte that is no UTF-8 counts as
// one), never ending inside one.
std::string cutToCharacters(const std::string& text)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t at = 0;
    for (size_t count = 0; at < text.size() && count < kMaxNameCharacters; ++count) {
        const size_t length = characterLength(bytes + at, text.size() - at);
        at += length != 0 ? length : 1;
    }
    return text.substr(0, at);
}

// A sysfs attribute as the kernel gives it, without its line end. A page is
// the most sysfs gives.
std::string readAttribute(const std::string& directory, const char* name)
{
    std::FILE* file = std::fopen((directory + "/" + name).c_str(), "re");
    if (file == nullptr)
        return std::string();
    std::vector<char> buffer(kMaxAttributeSize);
    const size_t n = std::fread(buffer.data(), 1, buffer.size(), file);
    std::fclose(file);
    std::string text(buffer.data(), n);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return cutToCharacters(text);
}

bool exists(const std::string& path)
{
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

// The strings of the USB device above a tty in sysfs: the first directory up
// from the tty's device that is a USB device (it has an idVendor, which an
// interface has not). A device without strings of its own has none; the hubs
// and the root hub above it have theirs, which name the hub.
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
        if (exists(directory + "/idVendor")) {
            out->manufacturer = readAttribute(directory, "manufacturer");
            out->product = readAttribute(directory, "product");
            return;
        }
        directory = directoryOf(directory);
    }
}

// /dev/serial/by-id as the kernel's device names: which name leads to each
// tty (the first in name order when several do). Read once for as long as
// the directory stays as it was: a listing asks for every port, and a
// machine may hold thousands of such names.
// The listing this thread is in (PortListing), 0 when none.
thread_local unsigned long currentListing = 0;
std::atomic<unsigned long> lastListing{0};

class ByIdNames {
public:
    std::string of(const std::string& root, const std::string& tty)
    {
        const std::string directory = underRoot(root, kDirectory);
        struct stat status;
        if (stat(directory.c_str(), &status) != 0)
            return std::string();
        std::lock_guard<std::mutex> hold(lock_);
        const bool same = directory == directory_ && status.st_dev == status_.st_dev &&
                          status.st_ino == status_.st_ino && status.st_mtim.tv_sec == status_.st_mtim.tv_sec &&
                          status.st_mtim.tv_nsec == status_.st_mtim.tv_nsec;
        // A file time moves in the kernel's coarse ticks, so a name added in
        // the tick of the last change leaves it as it was: a directory is
        // known by its time only once it had not changed for a while before
        // it was read; else it is read again, though not within one listing.
        if (!same || (!settled_ && (currentListing == 0 || currentListing != readIn_))) {
            read(root, directory);
            directory_ = directory;
            status_ = status;
            timespec now = {};
            clock_gettime(CLOCK_REALTIME, &now);
            settled_ = now.tv_sec - status.st_mtim.tv_sec >= kSettledSeconds;
            readIn_ = currentListing;
        }
        const auto found = names_.find(tty);
        return found != names_.end() ? found->second : std::string();
    }

private:
    void read(const std::string& root, const std::string& directory)
    {
        names_.clear();
        DIR* entries = opendir(directory.c_str());
        if (entries == nullptr)
            return;
        while (dirent* entry = readdir(entries)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string link = std::string(kDirectory) + "/" + name;
            std::string& known = names_[baseName(followLinks(root, link, nullptr))];
            if (known.empty() || link < known)
                known = link;
        }
        closedir(entries);
    }

    static constexpr const char* kDirectory = "/dev/serial/by-id";
    static constexpr time_t kSettledSeconds = 2;
    std::mutex lock_;
    bool settled_ = false;
    unsigned long readIn_ = 0;  // the listing it was read in; 0 none
    std::string directory_;
    struct stat status_ = {};
    std::map<std::string, std::string> names_;
};

ByIdNames byIdNames;

// The stable name of the kernel's device `tty`: its /dev/serial/by-id link,
// else the name a board gives its own UART (/dev/serial0 on a Raspberry Pi).
std::string findStableName(const std::string& root, const std::string& tty)
{
    std::string found = byIdNames.of(root, tty);
    for (const char* board : {"/dev/serial0", "/dev/serial1"})
        if (found.empty() && baseName(followLinks(root, board, nullptr)) == tty)
            found = board;
    return found;
}

std::string linkTarget(const std::string& path)
{
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// merlin-sim marks each link it makes to its control line with a second one
// beside it, "<link>.control", to the same pseudo-terminal.
bool isSimulatorControl(const std::string& device)
{
    const std::string target = linkTarget(device);
    return !target.empty() && linkTarget(device + ".control") == target;
}

}  // namespace

PortListing::PortListing() : outer_(currentListing == 0)
{
    if (outer_)
        currentListing = ++lastListing;
}

PortListing::~PortListing()
{
    if (outer_)
        currentListing = 0;
}

PortDevice describePortDevice(const char* device)
{
    PortDevice description;
    if (device == nullptr || device[0] == '\0')
        return description;
    const std::string root = systemRoot();
    std::string byId;
    const std::string found = followLinks(root, device, &byId);
    const std::string tty = baseName(found);
    description.kernelName = found.rfind("/dev/", 0) == 0 ? found.substr(5) : tty;
    description.byId = byId.empty() ? findStableName(root, tty) : byId;
    readUsbStrings(root, tty, &description);
    description.simulatorControl = isSimulatorControl(device);
    return description;
}

std::string productName(const PortDevice& device)
{
    if (device.simulatorControl)
        return "merlin-sim control line";
    if (device.product.empty())
        return device.manufacturer;
    // Some makers repeat their name in the product string.
    if (device.manufacturer.empty() || device.product.rfind(device.manufacturer, 0) == 0)
        return device.product;
    return device.manufacturer + " " + device.product;
}

std::string displayText(const std::string& bytes)
{
    const unsigned char* text = reinterpret_cast<const unsigned char*>(bytes.data());
    std::string shown;
    for (size_t at = 0; at < bytes.size();) {
        const size_t length = characterLength(text + at, bytes.size() - at);
        const unsigned char lead = text[at];
        // C0 controls, DEL, and the C1 controls U+0080 to U+009F (C2 80 to C2 9F).
        const bool control =
            length == 1 ? lead < 0x20 || lead == 0x7F : length == 2 && lead == 0xC2 && text[at + 1] < 0xA0;
        if (length != 0 && !control && lead != '\\') {
            shown.append(bytes, at, length);
            at += length;
            continue;
        }
        for (size_t i = 0; i < std::max<size_t>(length, 1); ++i, ++at) {
            const unsigned char b = text[at];
            char piece[5];
            if (b == '\t' || b == '\n' || b == '\r' || b == '\\')
                std::snprintf(piece, sizeof piece, "\\%c", b == '\t' ? 't' : b == '\n' ? 'n' : b == '\r' ? 'r' : '\\');
            else
                std::snprintf(piece, sizeof piece, "\\x%02X", b);
            shown += piece;
        }
    }
    return shown;
}

bool isDevicePathText(const char* text)
{
    if (text == nullptr || text[0] == '\0')
        return false;
    if (std::strchr(text, '/') != nullptr)
        return true;
    // "7" and "COM7" stay COM numbers even where a file has that name.
    const char* digits = strncasecmp(text, "COM", 3) == 0 ? text + 3 : text;
    if (digits[0] >= '0' && digits[0] <= '9')
        return false;
    return exists(text);
}

}  // namespace platform
