// The pseudo-terminals the simulator serves its ports on, and the links
// that name them (a COM number's, or any path).
#pragma once

#include "sim/settings.h"

#include <cstddef>
#include <string>

namespace sim {

struct Pty {
    int master = -1;
    int slave = -1;  // kept open so the pty survives clients coming and going
    std::string path;
};

// A raw pty at 9600 baud, both ends open; false with errno otherwise.
bool openPty(Pty* pty);

struct Link {
    std::string path;
    const Pty* pty;
};

// Makes the link and the directories on its way; false with errno otherwise.
bool makeLink(const Link& link);
// Only a link that still points at our pty is ours to remove.
void removeLink(const Link& link);

// A port that hung up is left alone for a moment instead of being polled
// again at once.
struct Port {
    Pty pty;
    Clock::time_point quietUntil;
};

// Bytes read from a port in one round of the loop, at most.
constexpr size_t kReadRound = 65536;

// Reads what is there, up to a round's worth; false when the port reported
// a hang-up or an error.
bool readPort(int fd, std::string* into);

}  // namespace sim
