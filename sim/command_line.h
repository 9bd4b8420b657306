// merlin-sim's command line: the usage text, and the options read into
// what the serving loop sets up.
#pragma once

#include "sim/network_port.h"
#include "sim/settings.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct CommandLine {
    std::vector<std::string> dataLinks, controlLinks;
    // The data port on the network, beside the pty, and where they listen.
    std::vector<std::unique_ptr<NetworkPort>> network;
    Settings settings;
    std::FILE* logFile = nullptr;  // --log, opened
};

// Reads the options: -1 to go on, otherwise the exit status, with what was
// printed (0 the usage or the version; 2 a bad command line, in one line and
// a pointer to the help; 1 a log that cannot be written).
int readCommandLine(int argc, char** argv, CommandLine* out);

}  // namespace sim
