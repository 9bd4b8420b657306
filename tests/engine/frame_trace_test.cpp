// The frame trace behind --trace: escaping, one line per frame written and
// per reply read back however the reads cut it, and nothing for failures.
#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "app/frame_trace.h"
#include "platform/platform.h"
#include "platform/serial_trace.h"

namespace {

std::mutex linesLock;
std::vector<std::string> lines;

void keepLine(const char* line)
{
    std::lock_guard<std::mutex> hold(linesLock);
    lines.push_back(line);
}

std::string escaped(const std::string& bytes, size_t room = 256)
{
    char out[256];
    escapeBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out, room);
    return out;
}

TEST(FrameTrace, EscapesControlBytesBackslashAndHighBytes)
{
    EXPECT_EQ(escaped(":F1\r"), ":F1\\r");
    EXPECT_EQ(escaped("a\nb\tc\\"), "a\\nb\\tc\\\\");
    EXPECT_EQ(escaped(std::string("\x00\x7F\xFF", 3)), "\\x00\\x7F\\xFF");
    EXPECT_EQ(escaped("=1\r", 4), "=1") << "cut to the room, never half an escape";
    EXPECT_EQ(escaped("", 1), "");
}

// Each line: the milliseconds since start, the direction, the bytes escaped.
TEST(FrameTrace, OneLinePerFrameAndPerReplyWhateverTheReadsCut)
{
    lines.clear();
    startFrameTrace(keepLine);
    auto call = [](const char* operation, const std::string& bytes, bool ok = true) {
        platform::traced(operation, static_cast<long>(bytes.size()), ok, reinterpret_cast<const uint8_t*>(bytes.data()),
                         static_cast<uint32_t>(bytes.size()));
    };
    call("write", ":F1\r");
    call("read", "=8");
    call("read", "01F00\r=\r!");
    call("write", ":a1\r", false);  // gave up: nothing went out
    platform::traced("open", 7, true);
    call("note", "no modem lines");  // what a port says of itself
    call("read", "5");
    platform::traced("close", 7, true);  // the reply cut short still shows
    stopFrameTrace();
    call("write", ":F2\r");  // no longer traced

    std::vector<std::string> shown;
    const std::regex line(R"re(^ *\d+ ms ([<>!] .*)\n$)re");
    for (const std::string& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        shown.push_back(m[1]);
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"> :F1\\r", "< =801F00\\r", "< =\\r", "! no modem lines", "< !5"}));
}

}  // namespace
