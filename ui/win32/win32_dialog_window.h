// The main dialog's DialogWindow over a Win32 dialog window: each operation is
// the window service the dialog's decisions ask for, on the control with that
// resource identifier.
#pragma once

#include <windows.h>

#include <atomic>

#include "ui/dialog_window.h"

class Win32DialogWindow : public DialogWindow {
public:
    // Binds the adapter to a newly created dialog window; bitmaps are loaded
    // from `instance`.
    void bind(HWND window, HINSTANCE instance);
    // The window is gone: posts are dropped from now on.
    void unbind();
    // Frees the arrow bitmaps once the buttons that showed them are gone.
    void releaseBitmaps();
    HWND window() const { return hwnd.load(); }

    void addPortEntry(const char* text) override;
    void selectPortEntry(int index) override;
    int selectedPortEntry() override;
    void setButtonBitmap(int buttonId, int bitmapId) override;
    void checkRadioButton(int firstId, int lastId, int checkedId) override;
    bool isButtonChecked(int buttonId) override;
    void enableControl(int controlId, bool enabled) override;
    void focusControl(int controlId) override;
    uint32_t readUnsigned(int controlId) override;
    void writeUnsigned(int controlId, uint32_t value) override;
    void setText(int controlId, const char16_t* text) override;
    void endDialog(int result) override;
    void runAboutBox() override;
    // Called on the engine thread too, hence the atomic window handle.
    void postUserMessage(unsigned wParam, long lParam) override;

private:
    static constexpr int kMaxBitmaps = 4;
    std::atomic<HWND> hwnd{nullptr};
    HINSTANCE instance = nullptr;
    HBITMAP bitmaps[kMaxBitmaps] = {};
    int bitmapCount = 0;
};
