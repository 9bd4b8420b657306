// Where the Linux program looks for the user's COM links, as the tests
// compute it from their environment: ${XDG_CONFIG_HOME:-$HOME/.config}/
// merlintest/ports. The test environment points XDG_CONFIG_HOME into the
// build directory's own test-home.
#pragma once

#include <string>

std::string portLinkDirectory();
// The link for COM n in that directory.
std::string portLinkPath(unsigned n);
