// How the controller writes numbers and answers on the line: upper-case hex
// digits, values least significant byte first, replies "=" data "\r" or "!"
// code "\r". Shared by the simulator's parts, not by the engine.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

constexpr int64_t kPositionZero = 0x800000;  // the controller's zero on the line

inline char hexDigit(unsigned nibble)
{
    return "0123456789ABCDEF"[nibble & 15];
}

// Only the upper-case digits that a controller sends and expects.
inline int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Values on the line: least significant byte first, each byte high nibble first.
inline std::string encodeLsbFirst(uint32_t value, int bytes)
{
    std::string out;
    for (int i = 0; i < bytes; ++i) {
        unsigned byte = (value >> (8 * i)) & 0xFF;
        out += hexDigit(byte >> 4);
        out += hexDigit(byte);
    }
    return out;
}

inline bool decodeLsbFirst(const std::string& digits, uint32_t* value)
{
    uint32_t result = 0;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        int high = hexValue(digits[i]), low = hexValue(digits[i + 1]);
        if (high < 0 || low < 0)
            return false;
        result |= uint32_t(high * 16 + low) << (8 * (i / 2));
    }
    *value = result;
    return true;
}

inline std::string ok(const std::string& data = "")
{
    return "=" + data + "\r";
}

inline std::string error(char code)
{
    return std::string("!") + code + "\r";
}

}  // namespace sim
