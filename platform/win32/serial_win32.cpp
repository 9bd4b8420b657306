// Serial ports on Win32: COM devices opened for overlapped I/O, so one read
// can stay pending on the reader thread while another thread writes.
#include "platform/platform.h"
#include "platform/serial_trace.h"

#include <windows.h>

#include <cstdio>

namespace platform {

// A write's record, its event and its copy of the bytes: the system may
// write into the record and signal its event until the write has completed
// or its cancel has, so a write whose cancel never completes leaves all three
// behind instead of freeing them. The event is the record's own, so a late
// completion of a record left behind signals nothing a later write waits on.
struct WriteRecord {
    OVERLAPPED overlapped;
    HANDLE event;  // manual reset
    uint32_t size;
    uint8_t* bytes;
};

struct SerialPort {
    HANDLE handle;
    unsigned number;
    WriteRecord* write;  // reused from write to write; null when left behind
    // When the bytes of the writes completed so far are all out on the line,
    // counting from each write's completion; 0 after a purge.
    uint64_t outputDoneAt;
};

namespace {

// How long a cancelled transfer may take to let go of its record.
constexpr DWORD kCancelWaitMs = 500;

// Before the purge at close: a byte takes 10 bits at 9600 baud on the wire;
// a margin for the driver and the device behind the queue; and a bound on
// the whole wait.
constexpr uint64_t kWireMicrosecondsPerByte = 1042;
constexpr uint64_t kOutputMarginMs = 20;
constexpr uint64_t kOutputWaitMaxMs = 100;

uint64_t wireMilliseconds(uint64_t count)
{
    return (count * kWireMicrosecondsPerByte + 999) / 1000;
}

void freeRecord(WriteRecord* record)
{
    if (!record)
        return;
    CloseHandle(record->event);
    delete[] record->bytes;
    delete record;
}

// Cancels the transfer on `record` and waits, bounded, for the system to let
// go of it; false when it still holds it.
bool cancelAndRelease(HANDLE port, OVERLAPPED* record)
{
    CancelIoEx(port, record);
    WaitForSingleObject(record->hEvent, kCancelWaitMs);
    DWORD transferred = 0;
    if (GetOverlappedResult(port, record, &transferred, FALSE))
        return true;
    return GetLastError() != ERROR_IO_INCOMPLETE;
}

}  // namespace

struct SerialRead {
    HANDLE port;
    HANDLE event;  // manual reset, the OVERLAPPED record's event
    OVERLAPPED overlapped;
    bool inFlight;     // the system may still write into data
    bool failedStart;  // the last ReadFile failed outright
    uint8_t data[kSerialReadSize];
};

static HANDLE handleOf(Event* event)
{
    return reinterpret_cast<HANDLE>(event);
}

// ---- Open, settings, close --------------------------------------------------

void portDevicePath(unsigned portNumber, char* out, size_t size)
{
    if (!out || size == 0)
        return;
    out[0] = '\0';
    if (portNumber < 1 || portNumber > kMaxPortNumber)
        return;
    std::snprintf(out, size, "\\\\.\\COM%u", portNumber);
}

// Windows gives no reason worth more than the status's own.
void serialOpenFailure(char* out, size_t size)
{
    if (out && size)
        out[0] = '\0';
}

// A COM port opens at once: there is no wait for a stop to end.
SerialPort* serialOpen(unsigned portNumber, Event* /*stop*/)
{
    char path[32];
    portDevicePath(portNumber, path, sizeof path);
    if (!path[0]) {
        traced("open", static_cast<long>(portNumber), false);
        return nullptr;
    }
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        traced("open", static_cast<long>(portNumber), false);
        return nullptr;
    }
    traced("open", static_cast<long>(portNumber), true);
    return new SerialPort{handle, portNumber, nullptr, 0};
}

void serialSetLine9600_8N1(SerialPort* port)
{
    if (!port)
        return;
    DCB line;
    ZeroMemory(&line, sizeof line);
    line.DCBlength = sizeof line;
    bool ok = GetCommState(port->handle, &line);
    if (ok) {
        line.fParity = FALSE;
        line.ByteSize = 8;
        line.Parity = NOPARITY;
        line.StopBits = ONESTOPBIT;
        line.BaudRate = CBR_9600;
        ok = SetCommState(port->handle, &line);
    }
    traced("setline", 9600, ok);
}

void serialSetReadIntervalTimeouts(SerialPort* port)
{
    if (!port)
        return;
    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    timeouts.ReadIntervalTimeout = 1;
    traced("timeouts", 1, SetCommTimeouts(port->handle, &timeouts));
}

void serialSetQueueSizes(SerialPort* port, uint32_t input, uint32_t output)
{
    if (!port)
        return;
    traced("queues", static_cast<long>(input), SetupComm(port->handle, input, output));
}

// Waits, bounded, until what the port has been given is out on the line:
// the bytes the driver still queues, and the completed writes' bytes for
// their wire time after they completed (a driver counts bytes sent once the
// device holds them, and the purge drops the device's own buffer too).
static void waitForOutput(SerialPort* port)
{
    const uint64_t start = nowMilliseconds();
    const uint64_t sent = port->outputDoneAt > 0 ? port->outputDoneAt + kOutputMarginMs : start;
    uint64_t deadline = 0;
    for (;;) {
        COMSTAT status;
        DWORD errors = 0;
        const DWORD queued = ClearCommError(port->handle, &errors, &status) ? status.cbOutQue : 0;
        const uint64_t now = nowMilliseconds();
        if (deadline == 0) {
            deadline = now + wireMilliseconds(queued) + kOutputMarginMs;
            if (deadline < sent)
                deadline = sent;
            if (deadline > start + kOutputWaitMaxMs)
                deadline = start + kOutputWaitMaxMs;
        }
        if ((queued == 0 && now >= sent) || now >= deadline)
            break;
        Sleep(2);
    }
    port->outputDoneAt = 0;
}

void serialPurge(SerialPort* port)
{
    if (!port)
        return;
    waitForOutput(port);
    bool ok = PurgeComm(port->handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    traced("purge", static_cast<long>(port->number), ok);
}

void serialClose(SerialPort* port)
{
    if (!port)
        return;
    bool ok = CloseHandle(port->handle);
    traced("close", static_cast<long>(port->number), ok);
    freeRecord(port->write);
    delete port;
}

// ---- Write and modem lines --------------------------------------------------

WaitResult serialWrite(SerialPort* port, Event* done, const uint8_t* bytes, uint32_t count, uint32_t milliseconds)
{
    if (!port)
        return WaitFailed;
    // The write waits on its record's own event, never on `done`: the event
    // of a record left behind by an earlier write may still be signalled.
    (void)done;
    WriteRecord* record = port->write;
    if (!record) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!event)
            return WaitFailed;
        record = port->write = new WriteRecord{{}, event, 0, nullptr};
    }
    HANDLE event = record->event;
    if (record->size < count) {
        delete[] record->bytes;
        record->bytes = new uint8_t[count];
        record->size = count;
    }
    CopyMemory(record->bytes, bytes, count);
    ZeroMemory(&record->overlapped, sizeof record->overlapped);
    record->overlapped.hEvent = event;
    ResetEvent(event);

    WaitResult result;
    bool released = true;
    DWORD written = 0;
    if (WriteFile(port->handle, record->bytes, count, &written, &record->overlapped)) {
        // Completed at once (wine often does this).
        result = WaitFirst;
    } else if (GetLastError() != ERROR_IO_PENDING) {
        result = WaitFailed;  // refused at once: the device has gone
    } else if (WaitForSingleObject(event, milliseconds) == WAIT_OBJECT_0) {
        result = GetOverlappedResult(port->handle, &record->overlapped, &written, FALSE) ? WaitFirst : WaitFailed;
    } else {
        // Still running: cancel it, and wait a bounded time for the system to
        // let go of the record.
        released = cancelAndRelease(port->handle, &record->overlapped);
        result = WaitTimeout;
    }
    if (!released) {
        // The driver never finished the cancel: the record, its event and its
        // bytes stay valid for it, and the next write gets a record of its own.
        port->write = nullptr;
    }
    if (result == WaitFirst) {
        const uint64_t now = nowMilliseconds();
        port->outputDoneAt = (port->outputDoneAt > now ? port->outputDoneAt : now) + wireMilliseconds(count);
    }
    traced("write", static_cast<long>(count), result == WaitFirst, result == WaitFirst ? bytes : nullptr,
           result == WaitFirst ? count : 0);
    return result;
}

bool serialEscape(SerialPort* port, ModemFunction function)
{
    static const char* const kNames[] = {"SETDTR", "CLRDTR", "SETRTS", "CLRRTS"};
    static const DWORD kFunctions[] = {SETDTR, CLRDTR, SETRTS, CLRRTS};
    if (!port || function < SetDtr || function > ClearRts)
        return false;
    bool ok = EscapeCommFunction(port->handle, kFunctions[function]);
    return traced(kNames[function], static_cast<long>(port->number), ok);
}

// ---- Reads ------------------------------------------------------------------

SerialRead* serialReadCreate(SerialPort* port)
{
    if (!port)
        return nullptr;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event)
        return nullptr;
    SerialRead* read = new SerialRead;
    ZeroMemory(read, sizeof *read);
    read->port = port->handle;
    read->event = event;
    read->overlapped.hEvent = event;
    return read;
}

ReadStart serialReadStart(SerialRead* read, uint32_t* received)
{
    *received = 0;
    if (!read)
        return ReadPending;
    HANDLE event = read->event;
    ZeroMemory(&read->overlapped, sizeof read->overlapped);
    read->overlapped.hEvent = event;
    ResetEvent(event);
    DWORD delivered = 0;
    read->inFlight = false;
    read->failedStart = false;
    if (ReadFile(read->port, read->data, kSerialReadSize, &delivered, &read->overlapped)) {
        *received = delivered;
        traced("read", static_cast<long>(delivered), true, read->data, delivered);
        return ReadCompleted;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        read->inFlight = true;
    } else {
        // Failed outright (the device has gone, say): nothing would ever
        // signal the event, so signal it here and let the result say failed.
        read->failedStart = true;
        SetEvent(event);
    }
    return ReadPending;
}

WaitResult serialReadWait(SerialRead* read, Event* stop, uint32_t milliseconds)
{
    if (!read || !stop)
        return WaitFailed;
    HANDLE handles[2] = {read->event, handleOf(stop)};
    DWORD result = WaitForMultipleObjects(2, handles, FALSE, milliseconds);
    if (result == WAIT_OBJECT_0)
        return WaitFirst;
    if (result == WAIT_OBJECT_0 + 1)
        return WaitSecond;
    if (result == WAIT_TIMEOUT)
        return WaitTimeout;
    return WaitFailed;
}

bool serialReadResult(SerialRead* read, uint32_t* received)
{
    *received = 0;
    if (!read)
        return false;
    if (read->failedStart) {
        read->failedStart = false;
        return traced("read", 0, false);
    }
    DWORD delivered = 0;
    if (GetOverlappedResult(read->port, &read->overlapped, &delivered, FALSE)) {
        read->inFlight = false;
        *received = delivered;
        return traced("read", static_cast<long>(delivered), true, read->data, delivered);
    }
    if (GetLastError() != ERROR_IO_INCOMPLETE)
        read->inFlight = false;
    return traced("read", 0, false);
}

const uint8_t* serialReadData(const SerialRead* read)
{
    return read ? read->data : nullptr;
}

void serialReadDestroy(SerialRead* read)
{
    if (!read)
        return;
    // A read whose cancel never completes keeps its buffer, record and event
    // for the system to finish with; the reader ends all the same.
    if (read->inFlight && !cancelAndRelease(read->port, &read->overlapped))
        return;
    CloseHandle(read->event);
    delete read;
}

}  // namespace platform
