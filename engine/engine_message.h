// Engine messages: one header byte (bit 7 set, kind in bits 6-5, payload
// length in bits 4-0) and up to 31 payload bytes. A message with no payload
// is followed by one filler byte 0x00 that completes it.
#pragma once

#include <cstdint>

constexpr int kMaxEnginePayload = 31;
constexpr int kMaxEngineMessage = 1 + kMaxEnginePayload;

// MessagePortFailed, from the port reader, has no payload: a read failed
// (the device has gone, or a network peer closed the connection).
enum EngineMessageKind : uint8_t {
    MessageCommand = 0,
    MessageHeartbeat = 1,
    MessagePortData = 2,
    MessagePortFailed = 3
};

enum CommandCode : uint8_t {
    CommandConnect = 1,
    CommandDisconnect = 2,
    CommandMove = 4,
    CommandStop = 5,
    CommandSetDslrRemote = 6,
    CommandQueryDslrRemote = 7,
    CommandStartDslrTimer = 8,
    CommandReadDslrTimer = 9
};

// Payload bytes (code included) that each command carries; 0 for unknown codes.
constexpr int commandPayloadLength(uint8_t code)
{
    switch (code) {
    case CommandConnect:
        return 2;
    case CommandDisconnect:
        return 1;
    case CommandMove:
        return 3;
    case CommandStop:
        return 2;
    case CommandSetDslrRemote:
        return 3;
    case CommandQueryDslrRemote:
        return 2;
    case CommandStartDslrTimer:
        return 5;
    case CommandReadDslrTimer:
        return 1;
    default:
        return 0;
    }
}

constexpr uint8_t messageHeader(EngineMessageKind kind, int payloadLength)
{
    return static_cast<uint8_t>(0x80 | (kind << 5) | (payloadLength & 0x1F));
}
constexpr int messageKind(uint8_t header)
{
    return (header >> 5) & 3;
}
constexpr int messagePayloadLength(uint8_t header)
{
    return header & 0x1F;
}

// A connect message carries a port below 256 in one byte (0x82 0x01 N).
// Larger numbers (COM256) take two bytes, low byte first, with a non-zero
// high byte (0x83 0x01 lo hi), so a three-byte payload with a zero high byte
// stays malformed.
constexpr int kConnectPayloadShort = 2;
constexpr int kConnectPayloadLong = 3;
