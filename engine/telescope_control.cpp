// The engine's command channel: message framing on the pipe, the engine
// thread, reassembly and the dispatcher with its connect sequence.
#include "engine/telescope_control.h"

#include <algorithm>
#include <cstring>

#include "app/status_codes.h"

TelescopeControl::TelescopeControl(TelescopeListener* telescopeListener)
    : listener(telescopeListener), pipeRead(nullptr), pipeWrite(nullptr), stopEvent(nullptr), writeEvent(nullptr),
      readerThreadId(0), readerThread(nullptr), engineThreadId(0), engineThread(nullptr), portHandle(nullptr),
      replyState(SeekLead), replyLength(0), messageState(0), messageCount(0), messageLength(0), protocolState(Idle),
      heartbeatCountdown(0), portOpen(false), mountReady(false), move1Reverse(0), move1Mode(0), move1Rate(0),
      move2Reverse(0), move2Mode(0), move2Rate(0), engineStopRequested(false)
{
    std::memset(replyBuffer, 0, sizeof replyBuffer);
    std::memset(messageBuffer, 0, sizeof messageBuffer);
    pipeLock.init();
    // Each step needs the one before; at the first that fails the engine
    // thread is not started, which started() reports (errno as it failed).
    if (!platform::createPipe(&pipeRead, &pipeWrite, kPipeCapacity))
        return;
    stopEvent = platform::createEvent(true, false);
    if (stopEvent == nullptr)
        return;
    writeEvent = platform::createEvent(false, false);
    if (writeEvent == nullptr)
        return;
    engineThread = platform::startThread(&TelescopeControl::engineThreadBody, this, &engineThreadId);
}

bool TelescopeControl::started() const
{
    return engineThread != nullptr;
}

TelescopeControl::~TelescopeControl() = default;

void TelescopeControl::releaseLocks()
{
    pipeLock.destroy();
    // With both threads ended nothing uses the pipe or the events any more.
    if (engineThread != nullptr || readerThread != nullptr)
        return;
    platform::closePipeEnd(pipeRead);
    platform::closePipeEnd(pipeWrite);
    platform::closeEvent(stopEvent);
    platform::closeEvent(writeEvent);
    pipeRead = pipeWrite = nullptr;
    stopEvent = writeEvent = nullptr;
}

// ---- Operations: one whole message each, under pipeLock ----

void TelescopeControl::writeMessage(const uint8_t* message, uint32_t count)
{
    pipeLock.enter();
    platform::pipeWrite(pipeWrite, message, count);
    pipeLock.leave();
}

void TelescopeControl::onHeartBeat()
{
    // No payload: the filler byte completes the message.
    const uint8_t message[] = {messageHeader(MessageHeartbeat, 0), 0x00};
    writeMessage(message, sizeof message);
}

void TelescopeControl::connect(unsigned port)
{
    if (port > 0xFF)
        writeCommand(CommandConnect, port & 0xFF, (port >> 8) & 0xFF);
    else
        writeCommand(CommandConnect, port);
}

void TelescopeControl::disconnect()
{
    writeCommand(CommandDisconnect);
}

void TelescopeControl::move(uint8_t direction, uint8_t speed)
{
    writeCommand(CommandMove, direction, speed);
}

void TelescopeControl::stop(uint8_t which)
{
    writeCommand(CommandStop, which);
}

void TelescopeControl::setDslrRemote(uint8_t kind, uint8_t bits)
{
    writeCommand(CommandSetDslrRemote, kind, bits);
}

void TelescopeControl::queryDslrRemote(uint8_t which)
{
    writeCommand(CommandQueryDslrRemote, which);
}

void TelescopeControl::startDslrTimer(uint8_t a, uint8_t b, uint32_t milliseconds)
{
    // The message carries the low 16 bits, low byte first.
    writeCommand(CommandStartDslrTimer, a, b, milliseconds & 0xFF, (milliseconds >> 8) & 0xFF);
}

void TelescopeControl::readDslrTimer()
{
    writeCommand(CommandReadDslrTimer);
}

// ---- Engine thread ----

uint32_t TelescopeControl::engineThreadBody(void* control)
{
    static_cast<TelescopeControl*>(control)->runEngineLoop();
    return 0;
}

void TelescopeControl::runEngineLoop()
{
    uint8_t bytes[kEngineReadSize];
    while (!engineStopRequested.load()) {
        // Wakes as soon as a writer has written; the time-out only bounds how
        // late a stop request is seen.
        const platform::WaitResult waited = platform::pipeWaitReadable(pipeRead, kPipePollMs);
        if (waited == platform::WaitFailed) {
            platform::sleepMilliseconds(kPipePollMs);  // no busy loop on a broken pipe
            continue;
        }
        if (waited != platform::WaitFirst)
            continue;
        const int waiting = platform::pipeAvailable(pipeRead);
        if (waiting <= 0)
            continue;
        // What is waiting in one read, fed byte by byte as before.
        const uint32_t count =
            platform::pipeRead(pipeRead, bytes, static_cast<uint32_t>(std::min<int>(waiting, sizeof bytes)));
        pipeBytesRead += count;
        for (uint32_t i = 0; i < count && !engineStopRequested.load(); ++i)
            feedEngineByte(bytes[i]);
    }
    if (portOpen)
        closePort();
}

void TelescopeControl::feedEngineByte(uint8_t byte)
{
    ++pipeBytesFed;
    if (messageState == 0) {
        // Only a byte with bit 7 set starts a message.
        if ((byte & 0x80) == 0)
            return;
        messageStart = pipeBytesFed - 1;
        messageBuffer[0] = byte;
        messageLength = messagePayloadLength(byte) + 1;
        messageCount = 1;
        messageState = 1;
        return;
    }
    // Collecting: every byte is payload, whatever its bit 7. A header with no
    // payload completes with the byte after it (the filler).
    messageBuffer[messageCount++] = byte;
    if (messageCount >= messageLength) {
        messageState = 0;
        dispatchMessage(messageBuffer);
    }
}

void TelescopeControl::reportStatus(int code)
{
    listener->onStatus(code);
}

void TelescopeControl::handleResult(int result)
{
    if (result == ResultMountReady)
        mountReady = true;
    else if (result == ResultGiveUp)
        closePort();
}

void TelescopeControl::dispatchMessage(const uint8_t* message)
{
    const uint8_t header = message[0];
    const int length = messagePayloadLength(header);
    switch (messageKind(header)) {
    case MessagePortData:
        // Port data from before the handshake's first frame is no reply.
        if (portOpen && messageStart >= stalePortDataEnd)
            handleResult(parseReplyBytes(message + 1, length));
        return;
    case MessageHeartbeat:
        if (portOpen)
            handleResult(countDownHandshake());
        return;
    case MessagePortFailed:
        // An earlier connection's reader may have told it before it ended.
        if (portOpen && messageStart >= stalePortDataEnd)
            handlePortFailure();
        return;
    case MessageCommand:
        break;
    default:
        return;
    }

    if (length == 0)
        return;
    switch (message[1]) {
    case CommandConnect: {
        unsigned port;
        if (length == kConnectPayloadShort)
            port = message[2];
        else if (length == kConnectPayloadLong && message[3] != 0)
            port = message[2] | (static_cast<unsigned>(message[3]) << 8);
        else
            return;
        if (portOpen) {
            reportStatus(StatusAlreadyConnected);
            return;
        }
        connectSequence(port);
        return;
    }
    case CommandDisconnect:
        if (portOpen) {
            closePort();
            reportStatus(StatusConnectionClosed);
        } else {
            reportStatus(StatusNotConnectedYet);
        }
        return;
    default:
        if (!mountReady) {
            reportStatus(StatusNotConnectedYet);
            return;
        }
        executeCommand(message);
        return;
    }
}

void TelescopeControl::connectSequence(unsigned port)
{
    reportStatus(StatusOpeningPort);
    // An earlier reader that has not ended yet would be revived by the reset
    // of stopEvent below: it must be gone first.
    if (readerThread != nullptr) {
        if (!platform::waitThread(readerThread, kReaderEndWaitMs)) {
            reportStatus(StatusCannotOpenPort);
            return;
        }
        platform::closeThread(readerThread);
        readerThread = nullptr;
    }
    // Reset before the open, which a shutdown's stop must be able to end;
    // a stop requested before the reset shows in the flag.
    platform::resetEvent(stopEvent);
    if (engineStopRequested.load())
        return;
    if (!openPort(port)) {
        // Ended by the shutdown: nothing more is said.
        if (!engineStopRequested.load())
            reportStatus(StatusCannotOpenPort);
        return;
    }
    portOpen = true;
    mountReady = false;
    reportStatus(StatusConnecting);
    // stopThreads sets stopEvent after its request, so a shutdown ends the
    // pause at once; one made before the reset above shows in the flag.
    if (engineStopRequested.load())
        return;
    if (platform::waitEvent(stopEvent, kHandshakePauseMs) == platform::WaitFailed)
        platform::sleepMilliseconds(kHandshakePauseMs);
    // A shutdown that began during the pause sends nothing more to the mount.
    if (engineStopRequested.load())
        return;
    // Nothing the device sent before the handshake's first frame may pass
    // for a reply to it (a late answer to an earlier connection's frame
    // would). The reader starts only after the purge, so no byte received
    // before it is on its way; port data already in the pipe comes from an
    // earlier reader, which has ended, and lies before the position taken
    // here, so the dispatcher drops it.
    discardInput();
    stalePortDataEnd = pipeBytesRead + static_cast<uint64_t>(std::max(platform::pipeAvailable(pipeRead), 0));
    handleResult(startHandshake());
    readerThread = platform::startThread(&TelescopeControl::readerThreadBody, this, &readerThreadId);
}

bool TelescopeControl::stopThreads(uint32_t waitMs)
{
    const uint64_t deadline = platform::nowMilliseconds() + waitMs;
    if (engineThread != nullptr) {
        engineStopRequested.store(true);
        // Ends the pause before a handshake at once (and the port reader,
        // which the engine would stop on its way out anyway).
        platform::setEvent(stopEvent);
        // The engine closes an open connection on its way out, reader included.
        if (!platform::waitThread(engineThread, waitMs))
            return false;
        platform::closeThread(engineThread);
        engineThread = nullptr;
    }
    // With the engine gone its fields are ours: a reader that outlived its
    // connection gets what is left of the time.
    if (readerThread != nullptr) {
        const uint64_t now = platform::nowMilliseconds();
        if (!platform::waitThread(readerThread, now < deadline ? static_cast<uint32_t>(deadline - now) : 0))
            return false;
        platform::closeThread(readerThread);
        readerThread = nullptr;
    }
    return true;
}
