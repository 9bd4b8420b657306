// What the main dialog's decisions need from a toolkit: one small adapter per
// toolkit (Win32 dialog template, Qt widgets) implements it. Controls are
// addressed by their resource identifiers.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

class DialogWindow {
public:
    // Port list
    virtual void addPortEntry(const char* text) = 0;
    virtual void selectPortEntry(int index) = 0;
    // 0-based index of the selected entry; -1 when none is selected.
    virtual int selectedPortEntry() = 0;
    // Buttons and fields
    virtual void setButtonBitmap(int buttonId, int bitmapId) = 0;
    // Checks `checkedId` and unchecks the other buttons of first..last.
    virtual void checkRadioButton(int firstId, int lastId, int checkedId) = 0;
    virtual bool isButtonChecked(int buttonId) = 0;
    virtual void enableControl(int controlId, bool enabled) = 0;
    virtual void focusControl(int controlId) = 0;
    // The field's text as an unsigned decimal number; 0 when it is empty or
    // is not one (see parseUnsignedText).
    virtual uint32_t readUnsigned(int controlId) = 0;
    virtual void writeUnsigned(int controlId, uint32_t value) = 0;
    virtual void setText(int controlId, const char16_t* text) = 0;
    // Dialog
    virtual void endDialog(int result) = 0;
    virtual void runAboutBox() = 0;
    // Asynchronous, first in first out, never blocks: the toolkit later calls
    // DlgMerlinTest's handling of the user message on its own thread.
    virtual void postUserMessage(unsigned wParam, long lParam) = 0;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
