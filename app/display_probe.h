// Whether the dialog can come up, asked before QApplication is built: Qt
// aborts the program when none of the platforms it tries will start.
#pragma once

#include <string>

// What the command line gave Qt that bears on its platform; null when not
// given.
struct QtPlatformOptions {
    const char* platform = nullptr;    // -platform
    const char* display = nullptr;     // -display
    const char* pluginPath = nullptr;  // -platformpluginpath
};

// The platforms Qt tries, in order: -platform, else QT_QPA_PLATFORM, else
// Wayland's then X11's where a Wayland session shows (WAYLAND_DISPLAY, or
// XDG_SESSION_TYPE=wayland), else X11's. Empty when one of them will start;
// otherwise the line that tells the user why none will, without "\n".
std::string displayProblem(const QtPlatformOptions& options);
