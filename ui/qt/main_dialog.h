// The main dialog in Qt: template 100 built as widgets, its events handed to
// DlgMerlinTest through a QtDialogWindow, as the Win32 dialog procedure does.
#pragma once

#include <QIcon>
#include <QLabel>
#include <mutex>

#include "ui/dialog_window.h"
#include "ui/qt/template_widgets.h"

class DlgMerlinTest;
class QtMainDialog;

// The main dialog's DialogWindow over a QtMainDialog. It outlives the window
// (the engine thread may be posting while the dialog ends), so it is never on
// a stack and is bound to one window at a time.
class QtDialogWindow : public DialogWindow {
public:
    void bind(QtMainDialog* dialog);
    // The window is going: posts are dropped from now on.
    void unbind();

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
    // Any thread: a posted event, handled in order on the window's thread.
    void postUserMessage(unsigned wParam, long lParam) override;

private:
    QWidget* control(int id) const;

    QtMainDialog* dialog_ = nullptr;
    // Keeps the window from going while a post is being made to it.
    std::mutex postLock_;
    QtMainDialog* postTarget_ = nullptr;
};

class QtMainDialog : public TemplateDialog {
public:
    QtMainDialog(DlgMerlinTest* dialog, QWidget* owner);
    ~QtMainDialog() override;

    const DialogUnits& units() const { return units_; }

    // Why the port did not open, on the line under the dialog's controls
    // (empty: no reason, the line is blank).
    void showReason(const QString& reason);
    // The line that shows it.
    QLabel* reasonLine() const { return reasonLine_; }

    // Esc and the close box end the dialog with 0, Enter with 1, as Win32's
    // dialog manager does; they go through DlgMerlinTest's commands.
    void reject() override;
    void accept() override;

    // "Report..." in dialog units, above About.
    static constexpr int kReportButtonX = 20;
    static constexpr int kReportButtonY = 121;
    static constexpr int kReportButtonWidth = 60;
    static constexpr int kReportButtonHeight = 16;

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // Names for assistive technology, labels linked to their fields, and
    // Alt+letter keys for every control (the texts stay as they are: an
    // underlined mnemonic would change them).
    void makeAccessible();
    void addReportButton();

    DlgMerlinTest* dialog_;
    DialogUnits units_;
    QLabel* reasonLine_ = nullptr;
};

// The reason line's place in dialog units, below the template's controls;
// the Qt dialog is this much taller than the template.
constexpr int kReasonLineX = 48;
constexpr int kReasonLineY = 166;
constexpr int kReasonLineWidth = 242;
constexpr int kReasonLineHeight = 18;
constexpr int kReasonLineGrowth = kReasonLineY + kReasonLineHeight - 168;

// The event type of a posted user message.
extern const int kUserMessageEvent;

// Runs the dialog modally until it ends; returns the value given to
// endDialog (1 for Enter, 0 for Esc and the close box).
int runMainDialog(DlgMerlinTest* dialog, QWidget* owner);
// The one window the engine's posts go to while the dialog runs.
QtDialogWindow& mainDialogWindow();
// The program's icon in each size the desktop's icon theme has.
QIcon programIcon();
