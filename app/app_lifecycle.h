// Start-up and shutdown of the object graph, shared by every front-end: the
// entry point calls startApplication, runs its main dialog, then calls
// shutdownApplication.
#pragma once

#include <cstdint>

class TelescopeListener;

// How long shutdown waits for the engine's threads before it gives up on
// releasing the engine (the objects are then left to the process's end).
constexpr uint32_t kEngineStopWaitMs = 15000;

// Creates the heartbeat timer, the model, the engine and the dialog object,
// wires them and starts the heartbeat. Sets every application-wide reference.
// False when a pipe, an event or a thread could not be created (errno tells
// why on POSIX); the entry point then shuts down what was made and ends.
bool startApplication(void* instance);

// The same heartbeat and engine without a window: the engine reports to
// `listener` directly, so no mailbox and no dialog object are made. False as
// startApplication.
bool startConsoleApplication(TelescopeListener* listener);

// Ends the heartbeat's and the engine's threads, then releases the objects.
// Sends nothing to the mount and reports no status.
void shutdownApplication();
