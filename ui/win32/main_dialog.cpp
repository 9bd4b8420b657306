#include "ui/win32/main_dialog.h"

#include "resources/resource_ids.h"
#include "ui/dlg_merlin_test.h"
#include "ui/win32/win32_dialog_window.h"

namespace {

// The engine thread may still be posting through it while the dialog ends,
// so it lives as long as the process and is never on a stack.
Win32DialogWindow mainWindow;

}  // namespace

INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DlgMerlinTest* dialog = reinterpret_cast<DlgMerlinTest*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
    case WM_INITDIALOG:
        dialog = reinterpret_cast<DlgMerlinTest*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, lParam);
        if (dialog != nullptr) {
            mainWindow.bind(window, static_cast<HINSTANCE>(dialog->instanceHandle));
            dialog->onInitDialog(&mainWindow);
        }
        // The dialog has given the focus to the port list itself.
        return FALSE;
    case WM_COMMAND:
        // Dispatched on the control id alone; the notification code is not looked at.
        return dialog != nullptr && dialog->onCommand(LOWORD(wParam)) ? TRUE : FALSE;
    case WM_USER:
        if (dialog != nullptr)
            dialog->onUserMessage(static_cast<unsigned>(wParam));
        return TRUE;
    case WM_DESTROY:
        // Stop the engine's posts before the window handle goes stale.
        if (dialog != nullptr)
            dialog->onDialogEnded();
        mainWindow.unbind();
        return FALSE;
    default:
        return FALSE;
    }
}

INT_PTR runMainDialog(DlgMerlinTest* dialog, HINSTANCE instance, HWND owner)
{
    const INT_PTR result =
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), owner, mainDialogProc, reinterpret_cast<LPARAM>(dialog));
    mainWindow.releaseBitmaps();
    return result;
}
