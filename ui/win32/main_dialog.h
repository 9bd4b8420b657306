// The main dialog on Win32: template 100 run modally, its procedure handing
// each message to DlgMerlinTest through a Win32DialogWindow.
#pragma once

#include <windows.h>

class DlgMerlinTest;

INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the dialog until it ends; returns the value given to EndDialog
// (1 for Enter, 0 for Esc and the close box).
INT_PTR runMainDialog(DlgMerlinTest* dialog, HINSTANCE instance, HWND owner);
