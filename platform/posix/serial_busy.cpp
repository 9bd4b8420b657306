// Who holds a port, and why an open failed: lock files, the processes they
// name (from /proc), permissions, and the reason line kept for the user.
#include "platform/platform.h"
#include "platform/posix/serial_posix.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

// ---- Lock files -------------------------------------------------------------
// Serial programs that do not lock the device itself leave a UUCP-style lock
// file, LCK..<device name>, holding their process id in ASCII (or, from
// older programs, as a binary int). This tool only honours them: it never
// makes one, and leaves a stale one where it is. MERLIN_LOCK_DIR names the
// one directory to look in instead of the usual ones.

// The live process other than this one that the lock file names; 0 when it
// names none.
static pid_t lockFileHolder(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[64];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    long pid = 0;
    auto textual = [](char c) { return (c >= '0' && c <= '9') || c == ' ' || c == '\n'; };
    if (n == 4 && !std::all_of(text, text + n, textual)) {
        int32_t value;
        std::memcpy(&value, text, sizeof value);
        pid = value;
    } else {
        char* end = nullptr;
        errno = 0;
        pid = std::strtol(text, &end, 10);
        if (errno != 0 || end == text)
            return 0;
    }
    if (pid <= 0 || pid > INT_MAX || pid == static_cast<long>(getpid()))
        return 0;
    // EPERM: alive, but another user's.
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)
        return static_cast<pid_t>(pid);
    return 0;
}

// The live program holding the device through a lock file; 0 when none does.
pid_t lockFileHolderOf(const char* path)
{
    char* real = realpath(path, nullptr);
    if (!real)
        return 0;
    const char* slash = std::strrchr(real, '/');
    const std::string name = std::string("/LCK..") + (slash ? slash + 1 : real);
    std::free(real);
    const char* chosen = std::getenv("MERLIN_LOCK_DIR");
    if (chosen && *chosen)
        return lockFileHolder(chosen + name);
    if (pid_t holder = lockFileHolder("/run/lock" + name))
        return holder;
    // /var/lock is usually a link to /run/lock; look there only when it is
    // a directory of its own.
    struct stat run, var;
    if (stat("/var/lock", &var) != 0)
        return 0;
    if (stat("/run/lock", &run) == 0 && run.st_dev == var.st_dev && run.st_ino == var.st_ino)
        return 0;
    return lockFileHolder("/var/lock" + name);
}

// ---- Why an open failed -----------------------------------------------------
// The last failed open's reason, as a line for the user; written on the
// engine thread, read on whichever thread shows the status that follows.

static std::mutex failureLock;
static std::string lastFailure;

// How the port is shown: "COM33 (/dev/ttyUSB0)", a link by where it points;
// a device path with no number of its own by itself.
static std::string portLabel(unsigned portNumber, const std::string& device)
{
    const std::string number = "COM" + std::to_string(portNumber);
    if (device.empty())
        return number;
    if (portNumber == adoptedPort && portNumber == kMaxPortNumber)
        return device;
    std::string shown = device;
    std::vector<char> linked(PATH_MAX);
    ssize_t n = readlink(device.c_str(), linked.data(), linked.size() - 1);
    if (portNumber != adoptedPort && n > 0)
        shown.assign(linked.data(), static_cast<size_t>(n));
    return number + " (" + shown + ")";
}

static bool inGroup(gid_t group)
{
    if (group == getegid())
        return true;
    int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    count = getgroups(count, groups.data());
    return count > 0 && std::find(groups.begin(), groups.begin() + count, group) != groups.begin() + count;
}

// Permission denied: when the device's group may open it and this process is
// not in that group, joining it is the cure (dialout, on Debian).
static std::string permissionText(const std::string& device)
{
    const std::string text = "permission denied";
    struct stat status;
    if (device.empty() || stat(device.c_str(), &status) != 0)
        return text;
    const mode_t groupMayOpen = S_IRGRP | S_IWGRP;
    if ((status.st_mode & groupMayOpen) != groupMayOpen || status.st_gid == 0 || inGroup(status.st_gid))
        return text;
    group entry;
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (getgrgid_r(status.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return text;
    const std::string name = found->gr_name;
    return text + ": add yourself to the " + name + " group (sudo usermod -aG " + name + " $USER), then log in again";
}

// The name of a process, from /proc; empty when it cannot be read.
static std::string processName(pid_t pid)
{
    std::string name;
    FILE* comm = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re");
    if (!comm)
        return name;
    char text[64];
    if (std::fgets(text, sizeof text, comm))
        name = text;
    std::fclose(comm);
    while (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

void recordFailureText(unsigned portNumber, const std::string& device, const std::string& why)
{
    const std::string text = portLabel(portNumber, device) + ": " + why;
    std::lock_guard<std::mutex> hold(failureLock);
    lastFailure = text;
}

// Records why port N (its device `device`) did not open: `error` is an errno
// value (ENOTTY: not a serial device), `holder` a lock file's live process.
void recordFailure(unsigned portNumber, const std::string& device, int error, pid_t holder)
{
    std::string why;
    if (holder > 0) {
        const std::string name = processName(holder);
        why = "busy: held by " +
              (name.empty() ? "process " + std::to_string(holder) : name + " (process " + std::to_string(holder) + ")");
    } else if (error == ENOENT || error == ENOTDIR || error == ENXIO || error == ENODEV) {
        why = "no such device";
    } else if (error == ENOTTY) {
        why = "not a serial device";
    } else if (error == EACCES || error == EPERM) {
        why = permissionText(device);
    } else if (error == EBUSY || error == EWOULDBLOCK) {
        why = "busy: held by another program";
    } else {
        why = std::strerror(error);
        if (!why.empty() && why[0] >= 'A' && why[0] <= 'Z')
            why[0] = static_cast<char>(why[0] - 'A' + 'a');
    }
    recordFailureText(portNumber, device, why);
}

void forgetFailure()
{
    std::lock_guard<std::mutex> hold(failureLock);
    lastFailure.clear();
}

void serialOpenFailure(char* out, size_t size)
{
    if (!out || size == 0)
        return;
    std::lock_guard<std::mutex> hold(failureLock);
    std::snprintf(out, size, "%s", lastFailure.c_str());
}

}  // namespace platform
