// Reassembly and the dispatcher: an arbitrary byte stream, as the pipe would
// deliver it, made of command, heartbeat and port data messages and garbage.
// The first byte picks the connection's state.
#include "fuzz/fuzz_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    fuzz::CheckedEngine& engine = fuzz::engine();
    const bool open = (data[0] & 1) != 0;
    engine.reset(fuzz::kProtocolStates[data[1] % fuzz::kProtocolStateCount], SeekLead, open, open && (data[0] & 2) != 0,
                 (data[0] >> 2) % 14, data[1]);
    for (size_t at = 2; at < size; ++at) {
        engine.feedEngineByte(data[at]);
        engine.checkInvariants();
    }
    return 0;
}
