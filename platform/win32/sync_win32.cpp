// Locks, events, threads and time on Win32: critical sections, kernel events,
// CreateThread. Event and Thread pointers are the kernel handles themselves.
#include "platform/platform.h"

#include <windows.h>

namespace platform {

static HANDLE handleOf(Event* event)
{
    return reinterpret_cast<HANDLE>(event);
}

// ---- Lock -------------------------------------------------------------------

static CRITICAL_SECTION* sectionIn(unsigned char* storage)
{
    return reinterpret_cast<CRITICAL_SECTION*>(storage);
}

void Lock::init()
{
    static_assert(sizeof(CRITICAL_SECTION) <= sizeof(storage_), "Lock storage too small");
    static_assert(alignof(CRITICAL_SECTION) <= 16, "Lock storage under-aligned");
    InitializeCriticalSection(sectionIn(storage_));
}

void Lock::enter()
{
    EnterCriticalSection(sectionIn(storage_));
}

void Lock::leave()
{
    LeaveCriticalSection(sectionIn(storage_));
}

void Lock::destroy()
{
    DeleteCriticalSection(sectionIn(storage_));
}

// ---- Time -------------------------------------------------------------------

void sleepMilliseconds(uint32_t milliseconds)
{
    Sleep(milliseconds);
}

// The performance counter rather than the tick count: ticks come in steps of
// 10 to 16 ms, too coarse for measuring replies.
uint64_t nowMilliseconds()
{
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t counts = static_cast<uint64_t>(now.QuadPart);
    return counts / frequency * 1000u + counts % frequency * 1000u / frequency;
}

// ---- Events -----------------------------------------------------------------

Event* createEvent(bool manualReset, bool initiallySet)
{
    return reinterpret_cast<Event*>(CreateEventA(nullptr, manualReset, initiallySet, nullptr));
}

void setEvent(Event* event)
{
    if (event)
        SetEvent(handleOf(event));
}

void resetEvent(Event* event)
{
    if (event)
        ResetEvent(handleOf(event));
}

static WaitResult waitResultOf(DWORD result, DWORD objects)
{
    if (result < WAIT_OBJECT_0 + objects)
        return static_cast<WaitResult>(result - WAIT_OBJECT_0);
    if (result == WAIT_TIMEOUT)
        return WaitTimeout;
    return WaitFailed;
}

WaitResult waitEvent(Event* event, uint32_t milliseconds)
{
    if (!event)
        return WaitFailed;
    return waitResultOf(WaitForSingleObject(handleOf(event), milliseconds), 1);
}

WaitResult waitEitherEvent(Event* first, Event* second, uint32_t milliseconds)
{
    if (!first || !second)
        return WaitFailed;
    // Wait-any reports the lowest index among the signalled, so first wins.
    HANDLE handles[2] = {handleOf(first), handleOf(second)};
    return waitResultOf(WaitForMultipleObjects(2, handles, FALSE, milliseconds), 2);
}

void closeEvent(Event* event)
{
    if (event)
        CloseHandle(handleOf(event));
}

// ---- Threads ----------------------------------------------------------------

namespace {

struct ThreadStart {
    ThreadBody body;
    void* argument;
};

DWORD WINAPI threadMain(LPVOID parameter)
{
    ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    return start.body(start.argument);
}

}  // namespace

Thread* startThread(ThreadBody body, void* argument, uint32_t* threadId)
{
    ThreadStart* start = new ThreadStart{body, argument};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, threadMain, start, 0, &id);
    if (!thread) {
        delete start;
        return nullptr;
    }
    if (threadId)
        *threadId = id;
    return reinterpret_cast<Thread*>(thread);
}

bool waitThread(Thread* thread, uint32_t milliseconds)
{
    if (!thread)
        return false;
    return WaitForSingleObject(reinterpret_cast<HANDLE>(thread), milliseconds) == WAIT_OBJECT_0;
}

void closeThread(Thread* thread)
{
    if (thread)
        CloseHandle(reinterpret_cast<HANDLE>(thread));
}

}  // namespace platform
