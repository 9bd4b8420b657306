// The main dialog's decisions, free of any toolkit: what each control does,
// the camera-line flags, which controls the interface kind enables, and what
// the engine's notifications show. The Win32 and Qt front-ends are thin
// adapters (DialogWindow) around it.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/interfaces.h"
#include "ui/dialog_window.h"

class AppModel;

// Standard dialog results and command ids.
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr unsigned kPortCount = 256;
// The dialog always asks for the third of the engine's six speeds.
constexpr uint8_t kDialogSpeedIndex = 2;
// Exposure line (bit 0) and focus line (bit 1) of remoteFlags.
constexpr uint32_t kExposureBit = 1;
constexpr uint32_t kFocusBit = 2;

// GetDlgItemInt's reading of a text: optional leading blanks, then decimal
// digits to the end; anything else, an empty text or a value above 2^32-1
// gives 0.
uint32_t parseUnsignedText(const char16_t* text);

class DlgMerlinTest : public TelescopeControlDlgCallback {
public:
    DlgMerlinTest(void* instance, iTelescopeControl* control, AppModel* model);
    virtual ~DlgMerlinTest();

    void showStatus(int code) override;
    void showDslrRemoteState(int kind, int value) override;
    void showDslrTimerState(int kind, int value) override;

    void onInitDialog(DialogWindow* window);
    // True when the id is one of the dialog's commands.
    bool onCommand(int id);
    // The window is gone: nothing is posted any more.
    void onDialogEnded();
    void sendDslrRemoteState();
    void enableV2Controls(int kindIndex);
    // Posts the user message to the window, when there is one.
    void postUserMessage(unsigned wParam, long lParam);
    // The toolkit's handling of a posted user message.
    void onUserMessage(unsigned wParam);

    // The interface kind the radio buttons select: 0, 1 or 2.
    int selectedInterfaceKind();

    void* instanceHandle;
    // Read by the engine thread when it posts; the adapter it points to must
    // outlive every thread that may post (it is never freed before exit).
    std::atomic<DialogWindow*> windowHandle;
    iTelescopeControl* telescopeControl;
    AppModel* appModel;
    uint32_t remoteFlags;
};
