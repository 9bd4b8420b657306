// The four interfaces through which the parts of the tool talk to each other.
// Pure virtual operations only; objects are deleted through their concrete
// classes, so the interfaces declare no destructor.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

class iHeartBeatListener {
public:
    virtual void onHeartBeat() = 0;
};

// Every operation only queues a request for the engine and returns at once;
// outcomes come back through TelescopeListener.
class iTelescopeControl : public iHeartBeatListener {
public:
    // port: 1 to 256 (COM1 to COM256)
    virtual void connect(unsigned port) = 0;
    virtual void disconnect() = 0;
    // direction: 0 up, 1 down, 2 right, 3 left; speed index 0 to 5
    virtual void move(uint8_t direction, uint8_t speed) = 0;
    // which: 0 or 1 channel 2, 2 or 3 channel 1, 4 both
    virtual void stop(uint8_t which) = 0;
    // kind: 0 auxiliary output, 1 RTS cable, 2 adapter V2; bits: 0 exposure, 1 focus
    virtual void setDslrRemote(uint8_t kind, uint8_t bits) = 0;
    virtual void queryDslrRemote(uint8_t which) = 0;
    // milliseconds as the caller has it; the engine message carries its low 16 bits
    virtual void startDslrTimer(uint8_t a, uint8_t b, uint32_t milliseconds) = 0;
    virtual void readDslrTimer() = 0;
};

class TelescopeListener {
public:
    virtual void onStatus(int code) = 0;
    virtual void onDslrRemoteState(int kind, int value) = 0;
    virtual void onDslrTimerState(int kind, int value) = 0;
};

class TelescopeControlDlgCallback {
public:
    virtual void showStatus(int code) = 0;
    virtual void showDslrRemoteState(int kind, int value) = 0;
    virtual void showDslrTimerState(int kind, int value) = 0;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
