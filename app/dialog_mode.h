// The dialog is the one part of the Linux program that needs a desktop. The
// desktop build (Qt) shows it in its own process; the console build, which
// links no Qt, hands its whole command line over to the desktop build when
// that is installed, so `merlintest` stays the one command users type.
#pragma once

#include "app/display_probe.h"

// prepareDialog's answer when this process goes on to show the dialog.
constexpr int kDialogHere = -1;
// runDialog's answer when the object graph could not be made (errno says why).
constexpr int kDialogCannotStart = -2;

// Before any output is set up: kDialogHere, or the exit code when the dialog
// cannot come up here (no display, no desktop build). The console build
// replaces the process with the desktop build's, given the whole command
// line, and returns only on failure.
int prepareDialog(int argc, char** argv, const QtPlatformOptions& platform);

// Runs the dialog over the object graph until it ends, Qt given its own
// options (the program's name first); the exit code, or kDialogCannotStart.
int runDialog(int qtArgc, char** qtArgv);
