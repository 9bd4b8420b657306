#include "app/app_model.h"

#include "app/app_globals.h"
#include "ui/dlg_merlin_test.h"

AppModel::AppModel() : kind(KindNone), value(0), value2(0), dlgCallback(nullptr)
{
    slotLock.init();
}

void AppModel::store(int newKind, int newValue, int newValue2, bool withValue2)
{
    slotLock.enter();
    value = newValue;
    kind = newKind;
    // A status leaves value2 as it was; no delivery of a status reads it.
    if (withValue2)
        value2 = newValue2;
    slotLock.leave();
    postToDialog(kNotificationMessage, 0);
}

void AppModel::onStatus(int code)
{
    store(KindStatus, code, 0, false);
}

void AppModel::onDslrRemoteState(int remoteKind, int remoteValue)
{
    store(KindDslrRemoteState, remoteKind, remoteValue, true);
}

void AppModel::onDslrTimerState(int timerKind, int timerValue)
{
    store(KindDslrTimerState, timerKind, timerValue, true);
}

void AppModel::deliverNotification(unsigned wParam)
{
    if (wParam != kNotificationMessage)
        return;
    slotLock.enter();
    const int k = kind, v = value, v2 = value2;
    slotLock.leave();
    if (dlgCallback == nullptr)
        return;
    switch (k) {
    case KindStatus:
        dlgCallback->showStatus(v);
        break;
    case KindDslrRemoteState:
        dlgCallback->showDslrRemoteState(v, v2);
        break;
    case KindDslrTimerState:
        dlgCallback->showDslrTimerState(v, v2);
        break;
    default:
        break;
    }
}

void postToDialog(unsigned wParam, long lParam)
{
    if (theDlgMerlinTest != nullptr)
        theDlgMerlinTest->postUserMessage(wParam, lParam);
}
