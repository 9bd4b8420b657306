// The mount control engine. Every public operation only writes an engine
// message into the object's pipe; one engine thread reads the pipe, and alone
// runs the dispatcher, the reply parser, the protocol state machine and every
// write to the serial port.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/interfaces.h"
#include "engine/engine_message.h"
#include "platform/platform.h"

// State of the reply parser: which part of a reply the next byte belongs to.
enum ReplyState : int32_t { SeekLead = 0, CollectReply = 1, CollectError = 2, SkipEcho = 3 };

// Which reply the protocol is waiting for.
enum ProtocolState : int32_t {
    Idle = 0,
    Ready = 2,
    HandshakeF1 = 3,
    HandshakeF2 = 4,
    HandshakeCounts1 = 5,
    HandshakeD1 = 6,
    HandshakeCounts2 = 7,
    HandshakeD2 = 8,
    StopBoth = 9,
    MoveStop2 = 10,
    MoveMode2 = 11,
    MoveRate2 = 12,
    MoveStop1 = 13,
    MoveMode1 = 14,
    MoveRate1 = 15,
    QueryRemoteOutput = 16,
    QueryRemoteAdapter = 17,
    TimerRead = 18
};

// What a protocol step asks of the dispatcher.
enum HandlerResult : int { ResultNone = 0, ResultMountReady = 1, ResultGiveUp = 2 };

class TelescopeControl : public iTelescopeControl {
public:
    // Time-outs and sizes of the engine and its serial link.
    static constexpr uint32_t kPipeCapacity = 4096;
    // The longest the engine waits on an empty pipe before it looks at its
    // stop request; a message wakes it at once.
    static constexpr uint32_t kPipePollMs = 100;
    // Bytes the engine takes from the pipe in one read.
    static constexpr uint32_t kEngineReadSize = 256;
    static constexpr uint32_t kHandshakePauseMs = 500;
    static constexpr uint32_t kPortWriteWaitMs = 1000;
    static constexpr uint32_t kReaderWaitMs = 200;
    static constexpr uint32_t kReaderEndWaitMs = 10000;
    static constexpr uint32_t kPortQueueSize = 8096;
    static constexpr int kReplyBufferSize = 50;
    static constexpr int kHandshakeTicks = 12;
    // Counts per revolution accepted as a known mount, both included.
    static constexpr uint32_t kMinCountsPerRevolution = 800000;
    static constexpr uint32_t kMaxCountsPerRevolution = 2500000;

    explicit TelescopeControl(TelescopeListener* listener);
    virtual ~TelescopeControl();

    // iTelescopeControl: each writes one engine message and returns.
    void onHeartBeat() override;
    void connect(unsigned port) override;
    void disconnect() override;
    void move(uint8_t direction, uint8_t speed) override;
    void stop(uint8_t which) override;
    void setDslrRemote(uint8_t kind, uint8_t bits) override;
    void queryDslrRemote(uint8_t which) override;
    void startDslrTimer(uint8_t a, uint8_t b, uint32_t milliseconds) override;
    void readDslrTimer() override;

    // False when the constructor could not create the pipe, an event or the
    // engine thread; the object is then only to be shut down and released.
    bool started() const;

    // Ends the engine thread, and the port reader thread of a connection that
    // is still open, sending nothing to the mount. Returns true when both
    // have ended, so the object may be released; waits at most `waitMs`.
    bool stopThreads(uint32_t waitMs);
    // Deletes pipeLock, and once stopThreads has ended both threads also the
    // pipe and the events; call once no thread can write into the pipe.
    void releaseLocks();

private:
    // The tests' one way to the engine-thread steps and fields below
    // (tests/support/engine_test_seam.h).
    friend class EngineTestSeam;

    // ---- Engine thread: dispatcher ----
    void feedEngineByte(uint8_t byte);
    // Virtual only so that a stress test can watch each message go by.
    virtual void dispatchMessage(const uint8_t* message);

    // ---- Engine thread: serial link ----
    void closePort();
    // Drops what the device has sent so far and the driver still holds.
    void discardInput();
    // The device's side, replaced by tests and fuzz targets that capture
    // frames instead.
    virtual bool openPort(unsigned port);
    virtual platform::WaitResult writePort(const uint8_t* buffer, uint32_t count);
    virtual void setModemLines(int value);
    // Port reader thread: forwards received bytes as port data messages,
    // waiting while the pipe is nearly full; false when a stop came first.
    bool forwardPortData(const uint8_t* bytes, int count);
    // Port reader thread: tells the engine that a read failed; dropped when
    // the pipe has no room (the engine then has enough to do).
    void forwardPortFailure();

    // ---- Engine thread: frames and replies ----
    // Each returns false when the device refused the write; the step has
    // then been ended with "Communication error" and the state is Ready.
    bool sendFrame(char letter, char channel, char data1, char data2);
    bool sendValueFrame(int channel, char letter, int32_t value);
    bool sendTimerFrame(uint8_t a, uint8_t b, uint16_t milliseconds);
    // The write alone (false when refused), and the step's end after it.
    bool writeFrame(const char* frame, int length);
    bool frameSent(bool written);
    int parseReplyBytes(const uint8_t* bytes, int count);

    // ---- Engine thread: protocol ----
    int startHandshake();
    int countDownHandshake();
    void handlePortFailure();
    int handleReply(const char* reply);
    int executeCommand(const uint8_t* message);
    void execMove(uint8_t direction, uint8_t speedIndex);
    void execStop(uint8_t which);
    void execSetDslrRemote(uint8_t kind, uint8_t bits);
    void execQueryDslrRemote(uint8_t kind);
    void execStartDslrTimer(uint8_t a, uint8_t b, uint16_t milliseconds);
    void execReadDslrTimer();
    int advanceMove(int channel, int32_t stopState, int32_t mode, int32_t reverse, int32_t rate);

    // ---- Fields ----
    TelescopeListener* listener;
    platform::Lock pipeLock;
    platform::PipeEnd* pipeRead;
    platform::PipeEnd* pipeWrite;
    platform::Event* stopEvent;
    platform::Event* writeEvent;
    uint32_t readerThreadId;
    platform::Thread* readerThread;
    uint32_t engineThreadId;
    platform::Thread* engineThread;
    platform::SerialPort* portHandle;
    int32_t replyState;
    int32_t replyLength;
    char replyBuffer[kReplyBufferSize];
    int32_t messageState;
    int32_t messageCount;
    int32_t messageLength;
    uint8_t messageBuffer[kMaxEngineMessage];
    int32_t protocolState;
    int32_t heartbeatCountdown;
    bool portOpen;
    bool mountReady;
    int32_t move1Reverse, move1Mode, move1Rate;
    int32_t move2Reverse, move2Mode, move2Rate;

    static uint32_t engineThreadBody(void* control);
    static uint32_t readerThreadBody(void* control);
    void runEngineLoop();
    void connectSequence(unsigned port);
    void handleResult(int result);
    void writeMessage(const uint8_t* message, uint32_t count);
    // A command message: the code, then each argument as one byte.
    template <typename... Arguments> void writeCommand(CommandCode code, Arguments... arguments)
    {
        const uint8_t message[] = {messageHeader(MessageCommand, 1 + sizeof...(arguments)), code,
                                   static_cast<uint8_t>(arguments)...};
        writeMessage(message, sizeof message);
    }
    void reportStatus(int code);

    std::atomic<bool> engineStopRequested;

    // Engine thread: positions in the pipe's byte stream. A port data
    // message that starts before stalePortDataEnd was received before the
    // current handshake's first frame and is dropped.
    uint64_t pipeBytesRead = 0;
    uint64_t pipeBytesFed = 0;
    uint64_t messageStart = 0;
    uint64_t stalePortDataEnd = 0;
};
