// The language on the serial line: command frames (":", letter, channel
// digit, 0-6 data characters, "\r") and the hexadecimal values in them and in
// the mount's replies. Numbers go least significant byte first, each byte
// high nibble first, in upper-case digits.
#pragma once

#include <cstdint>

constexpr int kMaxFrameLength = 10;
constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';
constexpr char kFrameStart = ':';
constexpr char kReplySuccess = '=';
constexpr char kReplyError = '!';

// Upper-case hex digit of the low four bits.
char hexDigit(unsigned nibble);

// Each builder writes the frame into `out` (room for kMaxFrameLength bytes)
// and returns its length; 0 when there is nothing to send.
int buildFrame(char* out, char letter, char channel, char data1, char data2);
int buildValueFrame(char* out, int channel, char letter, int32_t value);
int buildTimerFrame(char* out, uint8_t a, uint8_t b, uint16_t milliseconds);

// Reply decoders; `reply` starts with the lead character. They read fixed
// positions and validate nothing (see frames.cpp for the digit arithmetic).
int32_t decodeValue24(const char* reply);
uint16_t decodeValue16(const char* reply);
uint8_t hexNibble(char character);
