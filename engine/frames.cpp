#include "engine/frames.h"

#include "app/status_codes.h"
#include "engine/telescope_control.h"

char hexDigit(unsigned nibble)
{
    nibble &= 0x0F;
    return static_cast<char>(nibble <= 9 ? '0' + nibble : 'A' + (nibble - 10));
}

int buildFrame(char* out, char letter, char channel, char data1, char data2)
{
    int n = 0;
    out[n++] = kFrameStart;
    out[n++] = letter;
    out[n++] = channel;
    // data2 only ever comes with data1.
    if (data1 != 0) {
        out[n++] = data1;
        if (data2 != 0)
            out[n++] = data2;
    }
    out[n++] = kCarriageReturn;
    return n;
}

namespace {

// Writes `bytes` bytes of value, least significant first, high nibble first.
int putHexBytes(char* out, uint32_t value, int bytes)
{
    int n = 0;
    for (int i = 0; i < bytes; ++i) {
        const unsigned byte = (value >> (8 * i)) & 0xFF;
        out[n++] = hexDigit(byte >> 4);
        out[n++] = hexDigit(byte);
    }
    return n;
}

// The digit value a decoder gives a character of a 24-bit value: no checks,
// so a lower-case letter yields 42 to 47 and spills into the next place.
int32_t rawDigit(char character)
{
    const int32_t x = static_cast<signed char>(character);
    return x <= '9' ? x - 48 : x - 55;
}

}  // namespace

int buildValueFrame(char* out, int channel, char letter, int32_t value)
{
    if (channel != 1 && channel != 2)
        return 0;
    int n = 0;
    out[n++] = kFrameStart;
    out[n++] = letter;
    out[n++] = static_cast<char>('0' + channel);
    n += putHexBytes(out + n, static_cast<uint32_t>(value) & 0xFFFFFF, 3);
    out[n++] = kCarriageReturn;
    return n;
}

int buildTimerFrame(char* out, uint8_t a, uint8_t b, uint16_t milliseconds)
{
    int n = 0;
    out[n++] = kFrameStart;
    out[n++] = 'T';
    out[n++] = '1';
    out[n++] = hexDigit(a & 15);
    out[n++] = hexDigit(b & 15);
    n += putHexBytes(out + n, milliseconds, 2);
    out[n++] = kCarriageReturn;
    return n;
}

int32_t decodeValue24(const char* reply)
{
    const char* r = reply + 1;
    return rawDigit(r[4]) * (1 << 20) + rawDigit(r[5]) * (1 << 16) + rawDigit(r[2]) * (1 << 12) +
           rawDigit(r[3]) * (1 << 8) + rawDigit(r[0]) * (1 << 4) + rawDigit(r[1]);
}

uint8_t hexNibble(char character)
{
    const unsigned x = static_cast<unsigned char>(character);
    unsigned v = x - 48;
    if (v > 15) {
        v = x - 55;
        if (v > 15)
            v = x - 87;
    }
    return static_cast<uint8_t>(v & 0x0F);
}

uint16_t decodeValue16(const char* reply)
{
    const char* r = reply + 1;
    return static_cast<uint16_t>(hexNibble(r[2]) * 4096 + hexNibble(r[3]) * 256 + hexNibble(r[0]) * 16 +
                                 hexNibble(r[1]));
}

// ---- Sending frames (engine thread) ----
// A write that runs out of time goes on as if sent (the frame may yet have
// gone out); one the device refused was never sent.

bool TelescopeControl::writeFrame(const char* frame, int length)
{
    return writePort(reinterpret_cast<const uint8_t*>(frame), static_cast<uint32_t>(length)) != platform::WaitFailed;
}

bool TelescopeControl::frameSent(bool written)
{
    // No reply will come: the step ends here, and STOP and the rest are
    // taken again.
    if (!written) {
        protocolState = Ready;
        reportStatus(StatusCommunicationError);
    }
    return written;
}

bool TelescopeControl::sendFrame(char letter, char channel, char data1, char data2)
{
    char frame[kMaxFrameLength];
    return frameSent(writeFrame(frame, buildFrame(frame, letter, channel, data1, data2)));
}

bool TelescopeControl::sendValueFrame(int channel, char letter, int32_t value)
{
    char frame[kMaxFrameLength];
    const int n = buildValueFrame(frame, channel, letter, value);
    return n == 0 || frameSent(writeFrame(frame, n));
}

bool TelescopeControl::sendTimerFrame(uint8_t a, uint8_t b, uint16_t milliseconds)
{
    char frame[kMaxFrameLength];
    return frameSent(writeFrame(frame, buildTimerFrame(frame, a, b, milliseconds)));
}

// ---- Reply parser (engine thread) ----

namespace {

// Positions a decoder may read: the lead character and six data characters.
constexpr int kDecodedPositions = 7;

}  // namespace

int TelescopeControl::parseReplyBytes(const uint8_t* bytes, int count)
{
    int result = ResultNone;
    for (int i = 0; i < count; ++i) {
        const char c = static_cast<char>(bytes[i]);
        switch (replyState) {
        case SeekLead:
            if (c == kReplySuccess || c == kReplyError) {
                replyBuffer[0] = c;
                replyLength = 1;
                replyState = c == kReplySuccess ? CollectReply : CollectError;
            } else if (c == kFrameStart) {
                replyState = SkipEcho;
            }
            break;
        case CollectReply:
        case CollectError:
            if (replyLength > kReplyBufferSize - 1) {
                // Over-long: drop it and read on as if between replies.
                replyState = SeekLead;
            } else if (c == kCarriageReturn) {
                // A short reply must not decode characters of an earlier one.
                for (int p = replyLength; p < kDecodedPositions; ++p)
                    replyBuffer[p] = '0';
                replyState = SeekLead;
                replyLength = 0;
                // A give-up closes the port: later replies must not act on
                // the mount it rejected. A completed handshake stays
                // complete whatever replies follow it.
                const int step = handleReply(replyBuffer);
                if (step == ResultGiveUp)
                    return step;
                if (step == ResultMountReady)
                    result = step;
            } else {
                replyBuffer[replyLength++] = c;
            }
            break;
        case SkipEcho:
            if (c == kCarriageReturn || c == kLineFeed)
                replyState = SeekLead;
            break;
        default:
            replyState = SeekLead;
            break;
        }
    }
    return result;
}
