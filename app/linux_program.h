// The Linux program behind main(): reads the command line, then runs the Qt
// dialog through the same start-up and shutdown as WinMain, or one of the
// console modes. Returns the process's exit code.
#pragma once

// Exit codes of the command line.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

int runLinuxProgram(int argc, char** argv);
