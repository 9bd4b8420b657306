// How the simulator's control line spells bytes, shared by the simulator
// and its test client: \r and \n as two characters, a backslash and other
// non-printables as \xHH.
#pragma once

#include <string>

namespace sim {

std::string escapeBytes(const std::string& bytes);
// The reverse, also taking "\\" and lower-case hex digits; false on a
// malformed escape.
bool unescapeBytes(const std::string& text, std::string* bytes);

}  // namespace sim
