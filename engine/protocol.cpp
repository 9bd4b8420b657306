// The protocol state machine: each reply advances `protocolState` and, as a
// rule, sends the next frame.
#include "app/status_codes.h"
#include "engine/frames.h"
#include "engine/telescope_control.h"

namespace {

// Rate value sent with ":I" for each speed index; higher indexes count as 5.
const int32_t kRateTable[] = {140, 100, 70, 50, 35, 25};
constexpr uint8_t kMaxSpeedIndex = 5;
constexpr int32_t kMoveMode = 3;

constexpr uint8_t kStopBothChannels = 4;

bool isHandshakeState(int32_t state)
{
    return state >= HandshakeF1 && state <= HandshakeD2;
}

// One unsigned comparison covers both bounds.
bool isKnownMount(int32_t counts)
{
    return static_cast<uint32_t>(counts) - TelescopeControl::kMinCountsPerRevolution <=
           TelescopeControl::kMaxCountsPerRevolution - TelescopeControl::kMinCountsPerRevolution;
}

}  // namespace

int TelescopeControl::startHandshake()
{
    heartbeatCountdown = kHandshakeTicks;
    protocolState = HandshakeF1;
    // Nothing of a reply begun before the first frame is kept.
    replyState = SeekLead;
    replyLength = 0;
    sendFrame('F', '1', 0, 0);
    return ResultNone;
}

int TelescopeControl::countDownHandshake()
{
    if (heartbeatCountdown == 0)
        return ResultNone;
    if (--heartbeatCountdown > 0)
        return ResultNone;
    if (!isHandshakeState(protocolState))
        return ResultNone;
    reportStatus(StatusCannotConnect);
    return ResultGiveUp;
}

void TelescopeControl::handlePortFailure()
{
    // A device that goes during the handshake will never answer it: said at
    // once, as a refused write says it. Later, the next frame's refused write
    // says it.
    if (!isHandshakeState(protocolState))
        return;
    heartbeatCountdown = 0;
    protocolState = Ready;
    reportStatus(StatusCommunicationError);
}

int TelescopeControl::handleReply(const char* reply)
{
    if (reply[0] == kReplyError) {
        // Whatever was under way is abandoned; nothing is retried.
        protocolState = Ready;
        reportStatus(StatusCommunicationError);
        return ResultNone;
    }

    switch (protocolState) {
    case HandshakeF1:
        protocolState = HandshakeF2;
        sendFrame('F', '2', 0, 0);
        return ResultNone;
    case HandshakeF2:
        protocolState = HandshakeCounts1;
        sendFrame('a', '1', 0, 0);
        return ResultNone;
    case HandshakeCounts1:
    case HandshakeCounts2: {
        const bool first = protocolState == HandshakeCounts1;
        int result = ResultNone;
        if (!isKnownMount(decodeValue24(reply))) {
            reportStatus(StatusUnknownMount);
            result = ResultGiveUp;
        }
        protocolState = first ? HandshakeD1 : HandshakeD2;
        sendFrame('D', first ? '1' : '2', 0, 0);
        return result;
    }
    case HandshakeD1:
        protocolState = HandshakeCounts2;
        sendFrame('a', '2', 0, 0);
        return ResultNone;
    case HandshakeD2:
        protocolState = Ready;
        heartbeatCountdown = 0;
        reportStatus(StatusReady);
        return ResultMountReady;
    case StopBoth:
        protocolState = Ready;
        if (sendFrame('L', '2', 0, 0))
            reportStatus(StatusReady);
        return ResultNone;
    case MoveStop2:
    case MoveMode2:
    case MoveRate2:
        return advanceMove(2, MoveStop2, move2Mode, move2Reverse, move2Rate);
    case MoveStop1:
    case MoveMode1:
    case MoveRate1:
        return advanceMove(1, MoveStop1, move1Mode, move1Reverse, move1Rate);
    case QueryRemoteOutput:
        listener->onDslrRemoteState(0, hexNibble(reply[1]));
        protocolState = Ready;
        return ResultNone;
    case QueryRemoteAdapter:
        // The adapter's line bits are not shown anywhere; the reply only
        // closes the query.
        protocolState = Ready;
        return ResultNone;
    case TimerRead:
        protocolState = Ready;
        listener->onDslrTimerState(2, decodeValue16(reply));
        return ResultNone;
    default:
        // Idle, Ready and unknown states: an unasked-for reply is ignored.
        return ResultNone;
    }
}

// A move is three replies long on its channel: the stop's reply sends the
// motion set-up, that reply the rate, and the rate's reply starts the axis.
// The three states of a channel follow each other from `stopState` on.
int TelescopeControl::advanceMove(int channel, int32_t stopState, int32_t mode, int32_t reverse, int32_t rate)
{
    const char digit = static_cast<char>('0' + channel);
    switch (protocolState - stopState) {
    case 0:
        protocolState = stopState + 1;
        sendFrame('G', digit, static_cast<char>('0' + mode), static_cast<char>('0' + reverse));
        break;
    case 1:
        protocolState = stopState + 2;
        sendValueFrame(channel, 'I', rate);
        break;
    default:
        protocolState = Ready;
        sendFrame('J', digit, 0, 0);
        break;
    }
    return ResultNone;
}

int TelescopeControl::executeCommand(const uint8_t* message)
{
    const uint8_t* payload = message + 1;
    // A message too short for its code would take its arguments from an
    // earlier message's leftovers: drop it instead.
    if (messagePayloadLength(message[0]) < commandPayloadLength(payload[0]))
        return ResultNone;
    switch (payload[0]) {
    case CommandMove:
        execMove(payload[1], payload[2]);
        break;
    case CommandStop:
        execStop(payload[1]);
        break;
    case CommandSetDslrRemote:
        execSetDslrRemote(payload[1], payload[2]);
        break;
    case CommandQueryDslrRemote:
        execQueryDslrRemote(payload[1]);
        break;
    case CommandStartDslrTimer:
        execStartDslrTimer(payload[1], payload[2], static_cast<uint16_t>(payload[3] | (payload[4] << 8)));
        break;
    case CommandReadDslrTimer:
        execReadDslrTimer();
        break;
    default:
        break;
    }
    return ResultNone;
}

void TelescopeControl::execMove(uint8_t direction, uint8_t speedIndex)
{
    const int32_t rate = kRateTable[speedIndex > kMaxSpeedIndex ? kMaxSpeedIndex : speedIndex];
    char frame[kMaxFrameLength];
    int length = 0;
    if (direction == 0 || direction == 1) {
        move2Mode = kMoveMode;
        move2Rate = rate;
        move2Reverse = direction == 1 ? 1 : 0;
        protocolState = MoveStop2;
        length = buildFrame(frame, 'L', '2', 0, 0);
    } else if (direction == 2 || direction == 3) {
        move1Mode = kMoveMode;
        move1Rate = rate;
        move1Reverse = direction == 3 ? 1 : 0;
        protocolState = MoveStop1;
        length = buildFrame(frame, 'L', '1', 0, 0);
    }
    const bool written = length == 0 || writeFrame(frame, length);
    // Every move reports the movement at once; a first frame the device
    // refused is reported after it, so that is what the user sees last.
    reportStatus(StatusManualMovement);
    frameSent(written);
}

void TelescopeControl::execStop(uint8_t which)
{
    if (which == kStopBothChannels) {
        protocolState = StopBoth;
        sendFrame('L', '1', 0, 0);
    } else if (which == 2 || which == 3) {
        protocolState = Ready;
        sendFrame('L', '1', 0, 0);
    } else if (which == 0 || which == 1) {
        protocolState = Ready;
        sendFrame('L', '2', 0, 0);
    }
}

void TelescopeControl::execSetDslrRemote(uint8_t kind, uint8_t bits)
{
    if (protocolState != Ready)
        return;
    const bool exposure = (bits & 1) != 0;
    switch (kind) {
    case 0:
        sendFrame('O', '1', exposure ? '1' : '0', 0);
        break;
    case 1:
        // RTS raised with DTR cleared releases the camera; both cleared idle.
        setModemLines(exposure ? 2 : 0);
        break;
    case 2:
        sendFrame('X', '1', hexDigit(bits), 0);
        break;
    default:
        break;
    }
}

void TelescopeControl::execQueryDslrRemote(uint8_t kind)
{
    if (protocolState != Ready)
        return;
    if (kind == 0) {
        protocolState = QueryRemoteOutput;
        sendFrame('o', '1', 0, 0);
    } else if (kind == 2) {
        protocolState = QueryRemoteAdapter;
        sendFrame('x', '1', 0, 0);
    }
}

void TelescopeControl::execStartDslrTimer(uint8_t a, uint8_t b, uint16_t milliseconds)
{
    if (protocolState != Ready)
        return;
    sendTimerFrame(a, b, milliseconds);
}

void TelescopeControl::execReadDslrTimer()
{
    if (protocolState != Ready)
        return;
    protocolState = TimerRead;
    sendFrame('t', '1', 0, 0);
}
