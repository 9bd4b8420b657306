// The About box in Qt: template 101 built as widgets over its owner, its
// events handed to DlgAbout through the box's AboutWindow.
#pragma once

#include <QUrl>

#include "ui/dlg_about.h"
#include "ui/qt/template_widgets.h"

// How the site is opened; QDesktopServices::openUrl unless a test counts the
// opens.
typedef bool (*OpenSiteFunction)(const QUrl& address);
extern OpenSiteFunction openSite;

class QtAboutBox : public TemplateDialog, public AboutWindow {
public:
    explicit QtAboutBox(QWidget* owner);
    ~QtAboutBox() override;

    void underlineFont(int controlId) override;
    void setFontHeightAndWeight(int controlId, int height, int weight) override;
    void makeLink(int controlId) override;
    void openSite(const char* address) override;
    void endDialog(int result) override;

    // "Exit", Esc, the close box and Enter all end the box with 1.
    void reject() override;
    void accept() override;

private:
    DlgAbout about_;
    DialogUnits units_;
};

// The line under the template's controls that points to the user guide, in
// dialog units; the Qt box is that much taller than the template.
constexpr char kGuideLineText[] = "The user guide:\n/usr/share/doc/merlintest/user-guide.html";
constexpr int kGuideLineX = 8;
constexpr int kGuideLineY = 106;
constexpr int kGuideLineWidth = 180;
constexpr int kGuideLineHeight = 20;
constexpr int kGuideLineMargin = 4;

// Runs the box until it is closed; always returns 1.
int runAboutDialog(QWidget* owner);
