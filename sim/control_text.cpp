#include "sim/control_text.h"

namespace sim {

namespace {

char hexDigit(unsigned nibble)
{
    nibble &= 15;
    return char(nibble < 10 ? '0' + nibble : 'A' + nibble - 10);
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string escapeBytes(const std::string& bytes)
{
    std::string out;
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7F || c == '\\') {
            out += "\\x";
            out += hexDigit(c >> 4);
            out += hexDigit(c);
        } else {
            out += char(c);
        }
    }
    return out;
}

bool unescapeBytes(const std::string& text, std::string* bytes)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i]) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case '\\':
            out += '\\';
            break;
        case 'x': {
            if (i + 2 >= text.size())
                return false;
            auto nibble = [](char c) {
                if (c >= 'a' && c <= 'f')
                    c = char(c - 'a' + 'A');
                return hexValue(c);
            };
            int high = nibble(text[i + 1]), low = nibble(text[i + 2]);
            if (high < 0 || low < 0)
                return false;
            out += char(high * 16 + low);
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    *bytes = out;
    return true;
}

}  // namespace sim
