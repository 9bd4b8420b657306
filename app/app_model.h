// The single-slot mailbox between the engine thread and the dialog: the latest
// notification is stored under a lock and the dialog is asked (by a posted
// message) to fetch it on the user-interface thread. The last writer wins.
#pragma once

#include "app/interfaces.h"
#include "platform/platform.h"

enum NotificationKind : int { KindNone = 0, KindStatus = 1, KindDslrRemoteState = 2, KindDslrTimerState = 3 };

// wParam of the posted message that announces a notification.
constexpr unsigned kNotificationMessage = 1000;

class AppModel final : public TelescopeListener {
public:
    AppModel();

    void onStatus(int code) override;
    void onDslrRemoteState(int kind, int value) override;
    void onDslrTimerState(int kind, int value) override;

    // On the user-interface thread, for each posted message.
    void deliverNotification(unsigned wParam);

    platform::Lock slotLock;
    int kind;
    int value;
    int value2;
    TelescopeControlDlgCallback* dlgCallback;

private:
    void store(int newKind, int newValue, int newValue2, bool withValue2);
};

// Posts (wParam, lParam) to the main dialog when it exists.
void postToDialog(unsigned wParam, long lParam);
