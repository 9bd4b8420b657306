// The serial line's frames and the decoders of the mount's replies.
#include <gtest/gtest.h>

#include <string>

#include "engine/frames.h"
#include "engine_fixture.h"

namespace {

std::string built(int length, const char* out)
{
    return std::string(out, static_cast<size_t>(length));
}

// ---- Builders ---------------------------------------------------------------

TEST(FrameBuilders, PlainFramesCarryZeroOneOrTwoDataCharacters)
{
    char out[kMaxFrameLength];
    EXPECT_EQ(":L2\r", built(buildFrame(out, 'L', '2', 0, 0), out));
    EXPECT_EQ(":O11\r", built(buildFrame(out, 'O', '1', '1', 0), out));
    EXPECT_EQ(":G231\r", built(buildFrame(out, 'G', '2', '3', '1'), out));
}

TEST(FrameBuilders, ValueFramesSendTheLowByteFirst)
{
    struct Case {
        int channel;
        int32_t value;
        const char* frame;
    };
    const Case cases[] = {
        {2, 70, ":I2460000\r"},       {2, 140, ":I28C0000\r"},        {1, 25, ":I1190000\r"},
        {1, 0x123456, ":I1563412\r"}, {1, 0x7F123456, ":I1563412\r"},  // bits above the 24 sent are dropped
        {2, -1, ":I2FFFFFF\r"},       {1, 0, ":I1000000\r"},
    };
    for (const Case& c : cases) {
        char out[kMaxFrameLength];
        EXPECT_EQ(c.frame, built(buildValueFrame(out, c.channel, 'I', c.value), out)) << c.value;
    }
}

TEST(FrameBuilders, ValueFramesExistOnlyForChannelsOneAndTwo)
{
    char out[kMaxFrameLength];
    EXPECT_EQ(0, buildValueFrame(out, 0, 'I', 70));
    EXPECT_EQ(0, buildValueFrame(out, 3, 'I', 70));
    EXPECT_EQ(0, buildValueFrame(out, -1, 'I', 70));
}

TEST(FrameBuilders, TimerFramesCarryTwoDigitsAndSixteenBits)
{
    struct Case {
        uint8_t a, b;
        uint16_t milliseconds;
        const char* frame;
    };
    const Case cases[] = {
        {1, 0, 1000, ":T110E803\r"},         {1, 0, 65535, ":T110FFFF\r"}, {1, 0, 0, ":T1100000\r"},
        {1, 0, 4464, ":T1107011\r"},          // 70000 as the engine message carries it
        {0x1F, 0x2A, 0x1234, ":T1FA3412\r"},  // a and b keep their low four bits
        {15, 10, 500, ":T1FAF401\r"},
    };
    for (const Case& c : cases) {
        char out[kMaxFrameLength];
        EXPECT_EQ(c.frame, built(buildTimerFrame(out, c.a, c.b, c.milliseconds), out));
    }
}

TEST(FrameBuilders, HexDigitsAreUpperCase)
{
    const std::string digits = "0123456789ABCDEF";
    for (unsigned nibble = 0; nibble < 16; ++nibble)
        EXPECT_EQ(digits[nibble], hexDigit(nibble));
    EXPECT_EQ('5', hexDigit(0x25));  // only the low four bits count
}

// ---- Decoders ---------------------------------------------------------------

TEST(ReplyDecoders, CountsPerRevolution)
{
    struct Case {
        const char* reply;
        int32_t value;
    };
    const Case cases[] = {
        {"=00350C", 800000},
        {"=A02526", 2500000},
        {"=00F915", 1440000},
        {"=FF340C", 799999},
        {"=A12526", 2500001},
        {"=000000", 0},
        {"=FFFFFF", 0xFFFFFF},
        // A lower-case letter is worth 42 to 47 and carries into the next
        // digit's place: positions weigh 2^4, 2^0, 2^12, 2^8, 2^20, 2^16.
        {"=a00000", 42 << 4},
        {"=0f0000", 47},
        {"=00f915", (1 << 20) + (5 << 16) + (47 << 12) + (9 << 8)},
        {"=0000b0", 43 << 20},
        // Characters are signed bytes and nothing is validated.
        {"=\xff"
         "00000",
         -49 * 16},
        {"= 00000", -16 * 16},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.value, decodeValue24(c.reply)) << c.reply;
}

TEST(ReplyDecoders, SixteenBitValues)
{
    struct Case {
        const char* reply;
        uint16_t value;
    };
    const Case cases[] = {
        {"=E803", 1000}, {"=FFFF", 65535}, {"=0000", 0},     {"=0001", 256},
        {"=1000", 16},   {"=e803", 1000},  {"=fFfF", 65535}, {"!E803", 1000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.value, decodeValue16(c.reply)) << c.reply;
}

TEST(ReplyDecoders, HexNibbleOfDigitsAndLettersOfBothCases)
{
    for (char c = '0'; c <= '9'; ++c)
        EXPECT_EQ(c - '0', hexNibble(c));
    for (char c = 'A'; c <= 'F'; ++c)
        EXPECT_EQ(c - 'A' + 10, hexNibble(c));
    for (char c = 'a'; c <= 'f'; ++c)
        EXPECT_EQ(c - 'a' + 10, hexNibble(c));
}

TEST(ReplyDecoders, HexNibbleOfJunkKeepsFourBits)
{
    struct Case {
        char character;
        uint8_t value;
    };
    // x-48, else x-55, else x-87, whichever first lies in 0..15, then & 15.
    const Case cases[] = {
        {'G', 0}, {'g', 0}, {'Z', 3}, {':', 10}, {'@', 9}, {' ', 9}, {'\0', 9}, {'\r', 6}, {static_cast<char>(0xFF), 8},
        {'z', 3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.value, hexNibble(c.character)) << static_cast<int>(c.character);
}

// ---- Senders: one write per frame -------------------------------------------

using FrameSenders = EngineSteps;

TEST_F(FrameSenders, SendFrameWritesFourFiveOrSixBytes)
{
    control.sendFrame('L', '2', 0, 0);
    control.sendFrame('O', '1', '1', 0);
    control.sendFrame('G', '2', '3', '1');
    EXPECT_EQ((Frames{":L2\r", ":O11\r", ":G231\r"}), control.frames());
}

TEST_F(FrameSenders, SendValueFrameWritesTenBytesOrNothing)
{
    control.sendValueFrame(2, 'I', 70);
    control.sendValueFrame(2, 'I', 140);
    control.sendValueFrame(0, 'I', 70);
    control.sendValueFrame(3, 'I', 70);
    control.sendValueFrame(1, 'I', 0x1ABCDEF);
    EXPECT_EQ((Frames{":I2460000\r", ":I28C0000\r", ":I1EFCDAB\r"}), control.frames());
}

TEST_F(FrameSenders, SendTimerFrameWritesTenBytes)
{
    control.sendTimerFrame(1, 0, 1000);
    control.sendTimerFrame(1, 0, 65535);
    control.sendTimerFrame(0x31, 0xF2, 1);
    EXPECT_EQ((Frames{":T110E803\r", ":T110FFFF\r", ":T1120100\r"}), control.frames());
}

}  // namespace
