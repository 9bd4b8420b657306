#include "sim/pty_port.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace sim {

namespace {

void makeRaw(int fd)
{
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return;
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);  // TCSAFLUSH would drop bytes already queued
}

bool makeDirectories(const std::string& dir)
{
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/')
            continue;
        std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

}  // namespace

bool openPty(Pty* pty)
{
    pty->master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (pty->master < 0 || grantpt(pty->master) != 0 || unlockpt(pty->master) != 0)
        return false;
    char name[PATH_MAX];
    if (ptsname_r(pty->master, name, sizeof name) != 0)
        return false;
    pty->path = name;
    pty->slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (pty->slave < 0)
        return false;
    makeRaw(pty->slave);
    makeRaw(pty->master);
    return true;
}

bool makeLink(const Link& link)
{
    size_t slash = link.path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !makeDirectories(link.path.substr(0, slash))) {
        return false;
    }
    unlink(link.path.c_str());  // a link left behind by an earlier run
    return symlink(link.pty->path.c_str(), link.path.c_str()) == 0;
}

void removeLink(const Link& link)
{
    char target[PATH_MAX];
    ssize_t n = readlink(link.path.c_str(), target, sizeof target - 1);
    if (n < 0)
        return;
    target[n] = 0;
    if (link.pty->path == target)
        unlink(link.path.c_str());
}

bool readPort(int fd, std::string* into)
{
    char buffer[4096];
    for (size_t taken = 0; taken < kReadRound;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into->append(buffer, size_t(n));
            taken += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
    return true;
}

}  // namespace sim
