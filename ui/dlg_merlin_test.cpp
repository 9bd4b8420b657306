#include "ui/dlg_merlin_test.h"

#include <cstdio>

#include "app/app_model.h"
#include "app/status_codes.h"
#include "resources/resource_ids.h"

namespace {

// The controls that only the Bluetooth adapter V2 (kind 2) uses, in the order
// they are switched.
const int kV2Controls[] = {IDC_FOCUS_ON,    IDC_FOCUS_OFF,    IDC_TIMER_VALUE,
                           IDC_TIMER_START, IDC_TIMER_STATUS, IDC_TIMER_READ};

}  // namespace

uint32_t parseUnsignedText(const char16_t* text)
{
    if (text == nullptr)
        return 0;
    while (*text == u' ' || *text == u'\t')
        ++text;
    if (*text == u'\0')
        return 0;
    uint64_t value = 0;
    for (; *text != u'\0'; ++text) {
        if (*text < u'0' || *text > u'9')
            return 0;
        value = value * 10 + static_cast<uint64_t>(*text - u'0');
        if (value > 0xFFFFFFFFull)
            return 0;
    }
    return static_cast<uint32_t>(value);
}

DlgMerlinTest::DlgMerlinTest(void* instance, iTelescopeControl* control, AppModel* model)
    : instanceHandle(instance), windowHandle(nullptr), telescopeControl(control), appModel(model), remoteFlags(0)
{
    if (appModel != nullptr)
        appModel->dlgCallback = this;
}

DlgMerlinTest::~DlgMerlinTest() = default;

void DlgMerlinTest::showStatus(int code)
{
    // Taken as unsigned, so a negative code has no text either.
    const char16_t* text = statusText(static_cast<unsigned>(code));
    DialogWindow* window = windowHandle.load();
    if (text != nullptr && window != nullptr)
        window->setText(IDC_STATUS, text);
}

void DlgMerlinTest::showDslrRemoteState(int, int) {}

void DlgMerlinTest::showDslrTimerState(int, int value)
{
    DialogWindow* window = windowHandle.load();
    if (window != nullptr)
        window->writeUnsigned(IDC_TIMER_STATUS, static_cast<uint32_t>(value));
}

void DlgMerlinTest::onInitDialog(DialogWindow* window)
{
    windowHandle.store(window);
    char name[16];
    for (unsigned port = 1; port <= kPortCount; ++port) {
        std::snprintf(name, sizeof name, "COM%u", port);
        window->addPortEntry(name);
    }
    window->selectPortEntry(0);
    window->setButtonBitmap(IDC_UP, IDB_ARROW_UP);
    window->setButtonBitmap(IDC_DOWN, IDB_ARROW_DOWN);
    window->setButtonBitmap(IDC_LEFT, IDB_ARROW_LEFT);
    window->setButtonBitmap(IDC_RIGHT, IDB_ARROW_RIGHT);
    window->checkRadioButton(IDC_KIND_INTERNAL, IDC_KIND_ADAPTER_V2, IDC_KIND_INTERNAL);
    enableV2Controls(0);
    window->focusControl(IDC_PORT_LIST);
}

void DlgMerlinTest::onDialogEnded()
{
    windowHandle.store(nullptr);
}

int DlgMerlinTest::selectedInterfaceKind()
{
    DialogWindow* window = windowHandle.load();
    if (window == nullptr)
        return 0;
    if (window->isButtonChecked(IDC_KIND_RTS_CABLE))
        return 1;
    if (window->isButtonChecked(IDC_KIND_ADAPTER_V2))
        return 2;
    return 0;
}

void DlgMerlinTest::sendDslrRemoteState()
{
    telescopeControl->setDslrRemote(static_cast<uint8_t>(selectedInterfaceKind()), static_cast<uint8_t>(remoteFlags));
}

void DlgMerlinTest::enableV2Controls(int kindIndex)
{
    DialogWindow* window = windowHandle.load();
    if (window == nullptr)
        return;
    for (int id : kV2Controls)
        window->enableControl(id, kindIndex == 2);
}

bool DlgMerlinTest::onCommand(int id)
{
    DialogWindow* window = windowHandle.load();
    if (window == nullptr)
        return false;
    switch (id) {
    case kIdOk:
        window->endDialog(1);
        return true;
    case kIdCancel:
        window->endDialog(0);
        return true;
    case IDC_CONNECT: {
        // With no selection this asks for port 0, which the engine cannot open.
        const int index = window->selectedPortEntry();
        telescopeControl->connect(static_cast<unsigned>(index + 1));
        return true;
    }
    case IDC_DISCONNECT:
        telescopeControl->disconnect();
        return true;
    case IDC_STOP:
        telescopeControl->stop(4);
        return true;
    case IDC_UP:
        telescopeControl->move(0, kDialogSpeedIndex);
        return true;
    case IDC_DOWN:
        telescopeControl->move(1, kDialogSpeedIndex);
        return true;
    case IDC_LEFT:
        telescopeControl->move(3, kDialogSpeedIndex);
        return true;
    case IDC_RIGHT:
        telescopeControl->move(2, kDialogSpeedIndex);
        return true;
    case IDC_KIND_INTERNAL:
    case IDC_KIND_RTS_CABLE:
    case IDC_KIND_ADAPTER_V2:
        window->checkRadioButton(IDC_KIND_INTERNAL, IDC_KIND_ADAPTER_V2, id);
        enableV2Controls(id - IDC_KIND_INTERNAL);
        return true;
    case IDC_EXP_ON:
        remoteFlags |= kExposureBit;
        sendDslrRemoteState();
        return true;
    case IDC_EXP_OFF:
        remoteFlags &= ~kExposureBit;
        sendDslrRemoteState();
        return true;
    case IDC_FOCUS_ON:
        remoteFlags |= kFocusBit;
        sendDslrRemoteState();
        return true;
    case IDC_FOCUS_OFF:
        remoteFlags &= ~kFocusBit;
        sendDslrRemoteState();
        return true;
    case IDC_TIMER_START:
        telescopeControl->startDslrTimer(1, 0, window->readUnsigned(IDC_TIMER_VALUE));
        return true;
    case IDC_TIMER_READ:
        telescopeControl->readDslrTimer();
        return true;
    case IDC_ABOUT:
        window->runAboutBox();
        return true;
    default:
        return false;
    }
}

void DlgMerlinTest::postUserMessage(unsigned wParam, long lParam)
{
    DialogWindow* window = windowHandle.load();
    if (window != nullptr)
        window->postUserMessage(wParam, lParam);
}

void DlgMerlinTest::onUserMessage(unsigned wParam)
{
    if (appModel != nullptr)
        appModel->deliverNotification(wParam);
}
