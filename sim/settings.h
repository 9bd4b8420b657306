// What the simulated controller reports about itself, and the switches that
// make it misbehave: the figures a driver reads at connection, and the
// settings the command line and the control port set alike.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

// Error codes the simulated controller answers with ("!" + digit).
constexpr char kErrorUnknownCommand = '0';
constexpr char kErrorDataLength = '1';
constexpr char kErrorMotorNotStopped = '2';
constexpr char kErrorBadCharacter = '3';
constexpr char kErrorNotInitialised = '4';

constexpr uint32_t kDefaultCounts = 1440000;
// The controller's figures a driver reads at connection.
constexpr uint32_t kStepTimerHz = 62500;  // ":b": the step timer's frequency
constexpr unsigned kFastRatio = 16;       // ":g": a fast mode's speed over a slow one's
constexpr unsigned kWormTeeth = 144;      // ":s" is counts per revolution over this
constexpr unsigned kDefaultModel = 0x80;  // ":e": model code in the last two digits
constexpr unsigned kFirmware = 0x0310;    // ":e": major and minor version, first four digits

// What the simulator does beyond plain answers; the defaults answer well.
struct Settings {
    bool silent = false;
    std::vector<std::pair<std::string, std::string>> errors;  // frame prefix, code
    bool echo = false;
    unsigned split = 0;  // bytes per write; 0 writes each answer whole
    bool noise = false;
    unsigned overlong = 0;  // extra data characters in every reply
    uint32_t counts[2] = {kDefaultCounts, kDefaultCounts};
    bool pace = false;  // about 1.04 ms a byte, as at 9600 baud
    unsigned latencyMs = 0;
    bool flood = false;  // noise without end: at line rate when paced, else as fast as the port takes
    bool stall = false;  // read nothing from the port, so its queue fills and writes stop
    unsigned model = kDefaultModel;
    // Faults of an axis's drive, for a self-test to catch; index 0 is axis 1.
    bool stuck[2] = {false, false};     // runs as told, but its position never changes
    bool reversed[2] = {false, false};  // turns against the direction ":G" names
    bool runaway[2] = {false, false};   // ":K" and ":L" are answered, but it runs on
};

// Applies one setting given as words ("silent 1", "error :a1 05", "counts 2
// 800000", ...). Shared by the command line and the control port.
bool applySetting(Settings& settings, const std::vector<std::string>& words, std::string* why);

}  // namespace sim
