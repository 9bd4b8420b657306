// The thin platform layer: locks, events, threads, the engine's byte pipe and
// the serial port. One backend per system (platform/win32, platform/posix);
// nothing above this header includes a system header or branches on the OS.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// A mutual-exclusion lock with an explicit lifetime, like a critical section:
// init() before use, destroy() when done. The destructor does nothing, so the
// owner decides when the lock goes away.
class Lock {
public:
    void init();
    void enter();
    void leave();
    void destroy();

private:
    alignas(16) unsigned char storage_[64];
};

// Holds a Lock for one scope.
class LockHold {
public:
    explicit LockHold(Lock& lock) : lock_(lock) { lock_.enter(); }
    ~LockHold() { lock_.leave(); }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

private:
    Lock& lock_;
};

// ---- Events ---------------------------------------------------------------

struct Event;

enum WaitResult : int {
    WaitFirst = 0,    // the first (or only) object was signalled
    WaitSecond = 1,   // the second object was signalled
    WaitTimeout = 2,  // the time ran out
    WaitFailed = 3    // no valid object to wait on
};

// Unnamed event; a manual-reset event stays set until reset, an auto-reset
// event is consumed by the one wait that sees it.
Event* createEvent(bool manualReset, bool initiallySet);
void setEvent(Event* event);
void resetEvent(Event* event);
WaitResult waitEvent(Event* event, uint32_t milliseconds);
// Waits for either event; when both are set the first one is reported.
WaitResult waitEitherEvent(Event* first, Event* second, uint32_t milliseconds);
void closeEvent(Event* event);

// ---- Threads --------------------------------------------------------------

struct Thread;
typedef uint32_t (*ThreadBody)(void* argument);

// Starts a thread at once; stores its identifier in *threadId when given.
// Null when it cannot (on POSIX errno tells why, as for every creation here).
Thread* startThread(ThreadBody body, void* argument, uint32_t* threadId);
// Waits at most the given time for the thread to end; true when it has ended.
bool waitThread(Thread* thread, uint32_t milliseconds);
// Releases the handle; the thread must have ended (or be left to run detached).
void closeThread(Thread* thread);

void sleepMilliseconds(uint32_t milliseconds);
// Monotonic clock in milliseconds, for time-outs and benchmarks.
uint64_t nowMilliseconds();

// ---- The engine's in-process byte pipe --------------------------------------

struct PipeEnd;

// First in, first out; a write blocks while the pipe holds `capacity` bytes.
bool createPipe(PipeEnd** readEnd, PipeEnd** writeEnd, uint32_t capacity);
// Bytes waiting in the pipe, without removing any; -1 when the pipe failed.
int pipeAvailable(PipeEnd* readEnd);
// Waits at most `milliseconds` for bytes to wait in the pipe, waking as soon
// as a writer has written: WaitFirst when bytes are waiting, WaitTimeout when
// none came, WaitFailed when the pipe cannot be waited on.
WaitResult pipeWaitReadable(PipeEnd* readEnd, uint32_t milliseconds);
// Reads up to `count` bytes; returns the number delivered (0 on failure).
uint32_t pipeRead(PipeEnd* readEnd, uint8_t* buffer, uint32_t count);
// Writes all bytes with one call; true when they were all written.
bool pipeWrite(PipeEnd* writeEnd, const uint8_t* bytes, uint32_t count);
void closePipeEnd(PipeEnd* end);

// ---- Serial ports -----------------------------------------------------------

struct SerialPort;

// Highest port number the tool offers (COM1 to COM256).
constexpr unsigned kMaxPortNumber = 256;

// The name a user knows the device by, for port number N: "\\.\COMN" on
// Windows, the device that COMN maps to elsewhere. Writes at most `size`
// bytes including the terminating zero.
void portDevicePath(unsigned portNumber, char* out, size_t size);

// Opens port N exclusively for reading and writing; null when the device does
// not exist or another program holds it. An open that waits (for a name to
// resolve, a connection over the network) gives up at once when `stop` is
// set, with no reason recorded.
SerialPort* serialOpen(unsigned portNumber, Event* stop = nullptr);
// Why the last serialOpen failed, as a line for the user: the port, its
// device and the cause, as "COM33 (/dev/ttyUSB0): busy: held by minicom
// (process 1234)"; or, after it opened, why the port has since failed for
// good ("connection closed by the peer"). Empty when the system gives no
// reason, or when the last open succeeded and its port has not failed so.
// Any thread may ask, once the open has returned.
void serialOpenFailure(char* out, size_t size);
// 9600 baud, 8 data bits, no parity (and no parity check), 1 stop bit; every
// other line setting as the port reported it.
void serialSetLine9600_8N1(SerialPort* port);
// A read returns once a byte has arrived and the line then stayed quiet 1 ms.
void serialSetReadIntervalTimeouts(SerialPort* port);
void serialSetQueueSizes(SerialPort* port, uint32_t input, uint32_t output);
// Aborts pending transfers and discards both directions' queued data; what
// completed writes handed over is given its time on the line first (bounded,
// about 100 ms at most), so the last frame before a close still goes out.
void serialPurge(SerialPort* port);
void serialClose(SerialPort* port);

// Writes n bytes and waits at most `milliseconds` for them to complete.
// `done` is an auto-reset event of the caller's; a write never takes it being
// set for its own completion (a write left to the driver earlier may still
// set it). A write still
// running when the wait gives up is cancelled; the caller's buffer is free
// when this returns, and no wait here is without bound (a cancel that never
// completes leaves the write's own copy behind). Returns WaitFirst when the
// write completed in time, WaitFailed when the device refused it (it has
// gone away), WaitTimeout when the time ran out.
WaitResult serialWrite(SerialPort* port, Event* done, const uint8_t* bytes, uint32_t count, uint32_t milliseconds);

enum ModemFunction : int { SetDtr, ClearDtr, SetRts, ClearRts };
// Raises or clears one modem line; false when the device refused.
bool serialEscape(SerialPort* port, ModemFunction function);

// One outstanding read of up to kSerialReadSize bytes into a buffer that the
// SerialRead owns, so the buffer outlives any read still running on it.
struct SerialRead;
constexpr uint32_t kSerialReadSize = 128;

enum ReadStart : int { ReadCompleted, ReadPending };

SerialRead* serialReadCreate(SerialPort* port);
// Starts a read. ReadCompleted: *received bytes are in serialReadData().
ReadStart serialReadStart(SerialRead* read, uint32_t* received);
// Waits for the pending read to finish or for `stop`; WaitFirst is the read
// (also reported when both are ready), WaitSecond the stop event.
WaitResult serialReadWait(SerialRead* read, Event* stop, uint32_t milliseconds);
// The outcome of a read whose wait reported WaitFirst, without waiting:
// true with *received bytes delivered, false when the read failed.
bool serialReadResult(SerialRead* read, uint32_t* received);
const uint8_t* serialReadData(const SerialRead* read);
// Cancels a read still pending, waits a bounded time for the system to let
// go of the buffer, and releases everything; a read the system never lets go
// keeps its buffer and record for good.
void serialReadDestroy(SerialRead* read);

// Tracing hook for every serial operation, off by default. Tests use it to
// watch modem-line calls that a pseudo-terminal cannot carry out; the
// program's frame trace uses the bytes. A completed "write" or "read" passes
// the bytes it moved; a "note" passes a line of text the port has for the
// user (a network port's missing modem lines); every other call passes none
// (null, 0).
typedef void (*SerialTrace)(const char* operation, long argument, bool succeeded, const uint8_t* bytes, uint32_t count);
void setSerialTrace(SerialTrace trace);

}  // namespace platform
