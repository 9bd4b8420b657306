#include "sim/settings.h"

#include "sim/line_codes.h"

#include <cerrno>
#include <cstdlib>

namespace sim {

namespace {

bool parseUnsigned(const std::string& text, unsigned long max, unsigned long* value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
    if (errno != 0 || v > max)
        return false;
    *value = v;
    return true;
}

bool parseFlag(const std::vector<std::string>& words, bool* flag, std::string* why)
{
    if (words.size() != 2 || (words[1] != "0" && words[1] != "1")) {
        *why = "usage: " + words[0] + " 0|1";
        return false;
    }
    *flag = words[1] == "1";
    return true;
}

// "<name> <1|2> 0|1": a fault of one axis's drive.
bool parseAxisFlag(const std::vector<std::string>& words, bool (&flags)[2], std::string* why)
{
    if (words.size() != 3 || (words[1] != "1" && words[1] != "2") || (words[2] != "0" && words[2] != "1")) {
        *why = "usage: " + words[0] + " <axis 1|2> 0|1";
        return false;
    }
    flags[words[1][0] - '1'] = words[2] == "1";
    return true;
}

bool parseCount(const std::vector<std::string>& words, unsigned* count, std::string* why)
{
    unsigned long v;
    if (words.size() != 2 || !parseUnsigned(words[1], 100000, &v)) {
        *why = "usage: " + words[0] + " <n>";
        return false;
    }
    *count = unsigned(v);
    return true;
}
}  // namespace

bool applySetting(Settings& s, const std::vector<std::string>& words, std::string* why)
{
    const std::string& name = words.empty() ? std::string() : words[0];
    if (name == "silent")
        return parseFlag(words, &s.silent, why);
    if (name == "echo")
        return parseFlag(words, &s.echo, why);
    if (name == "noise")
        return parseFlag(words, &s.noise, why);
    if (name == "pace")
        return parseFlag(words, &s.pace, why);
    if (name == "flood")
        return parseFlag(words, &s.flood, why);
    if (name == "stall")
        return parseFlag(words, &s.stall, why);
    if (name == "stuck")
        return parseAxisFlag(words, s.stuck, why);
    if (name == "reversed")
        return parseAxisFlag(words, s.reversed, why);
    if (name == "runaway")
        return parseAxisFlag(words, s.runaway, why);
    if (name == "split")
        return parseCount(words, &s.split, why);
    if (name == "overlong")
        return parseCount(words, &s.overlong, why);
    if (name == "latency")
        return parseCount(words, &s.latencyMs, why);
    if (name == "error") {
        if (words.size() == 2 && words[1] == "clear") {
            s.errors.clear();
            return true;
        }
        if (words.size() != 3 || words[1].empty() || words[2].empty()) {
            *why = "usage: error <frame-prefix> <code> | error clear";
            return false;
        }
        for (auto& rule : s.errors) {
            if (rule.first == words[1]) {
                rule.second = words[2];
                return true;
            }
        }
        s.errors.emplace_back(words[1], words[2]);
        return true;
    }
    if (name == "model") {
        // Two hex digits, as ":e" ends with them.
        if (words.size() != 2 || words[1].size() != 2 || hexValue(words[1][0]) < 0 || hexValue(words[1][1]) < 0) {
            *why = "usage: model <two hex digits, 00..FF>";
            return false;
        }
        s.model = unsigned(hexValue(words[1][0]) * 16 + hexValue(words[1][1]));
        return true;
    }
    if (name == "counts") {
        unsigned long axis, value;
        if (words.size() != 3 || !parseUnsigned(words[1], 2, &axis) || axis < 1 ||
            !parseUnsigned(words[2], 0xFFFFFF, &value)) {
            *why = "usage: counts <axis 1|2> <value 0..16777215>";
            return false;
        }
        s.counts[axis - 1] = uint32_t(value);
        return true;
    }
    *why = "unknown command " + name;
    return false;
}

}  // namespace sim
