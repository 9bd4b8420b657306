// The reply parser and the protocol state machine, from every protocol state:
// the input's first bytes pick the state, the rest is a script of received
// bytes, heartbeat ticks, commands and handshakes.
#include "fuzz/fuzz_engine.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    fuzz::CheckedEngine& engine = fuzz::engine();
    engine.reset(fuzz::kProtocolStates[data[0] % fuzz::kProtocolStateCount], data[1] % 4, true, (data[1] & 0x80) != 0,
                 data[2] % 14, data[0]);
    size_t at = 3;
    while (at < size) {
        const uint8_t op = data[at++];
        switch (op & 3) {
        case 0: {
            // Received bytes, as one port data message carries them.
            const size_t count = std::min<size_t>(size - at, (op >> 2) % kMaxEnginePayload + 1);
            engine.parseReplyBytes(data + at, static_cast<int>(count));
            at += count;
            break;
        }
        case 1:
            engine.countDownHandshake();
            break;
        case 2: {
            // A command message as the dispatcher hands it on: header, code,
            // then up to five argument bytes.
            uint8_t message[kMaxEngineMessage] = {};
            const size_t count = std::min<size_t>(size - at, (op >> 2) % 6 + 1);
            message[0] = messageHeader(MessageCommand, static_cast<int>(count));
            std::copy(data + at, data + at + count, message + 1);
            at += count;
            engine.executeCommand(message);
            break;
        }
        default:
            engine.startHandshake();
            break;
        }
        engine.checkInvariants();
    }
    return 0;
}
