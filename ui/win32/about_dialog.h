// The About box on Win32: template 101 run modally over the main dialog, its
// procedure handing each message to DlgAbout through a Win32AboutWindow.
#pragma once

#include <windows.h>

#include "ui/dlg_about.h"

// How the site is opened; ShellExecuteA unless a test counts the opens.
typedef HINSTANCE(WINAPI* OpenSiteFunction)(HWND parent, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                                            INT showCommand);
extern OpenSiteFunction openSite;

// The link control's own procedure, replaced at each opening of the box.
extern WNDPROC previousLinkProc;

// Runs the box until it is closed; always returns 1.
INT_PTR runAboutDialog(HINSTANCE instance, HWND owner);

INT_PTR CALLBACK aboutDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK linkWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
