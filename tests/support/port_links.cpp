#include "tests/support/port_links.h"

#include <cstdlib>

std::string portLinkDirectory()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return std::string(config) + "/merlintest/ports";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config/merlintest/ports";
}

std::string portLinkPath(unsigned n)
{
    return portLinkDirectory() + "/com" + std::to_string(n);
}
