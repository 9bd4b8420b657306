#include "ui/dlg_about.h"

#include "resources/resource_ids.h"
#include "ui/dlg_merlin_test.h"

const char kSiteAddress[] = "https://merlintest.example.org/";

void DlgAbout::onInitDialog(AboutWindow* window)
{
    window_ = window;
    window->underlineFont(IDC_ABOUT_LINK);
    window->setFontHeightAndWeight(IDC_ABOUT_TITLE, kTitleHeight, kTitleWeight);
    window->makeLink(IDC_ABOUT_LINK);
}

bool DlgAbout::onCommand(uint32_t command)
{
    if (window_ == nullptr)
        return false;
    switch (command) {
    case kIdOk:
    case kIdCancel:
        // Enter, "Exit", Esc and the close box: the box always ends with 1.
        window_->endDialog(1);
        return true;
    case IDC_ABOUT_LINK:
        // The box stays open; whether the site opened is not looked at.
        window_->openSite(kSiteAddress);
        return true;
    default:
        return false;
    }
}

void DlgAbout::onDialogEnded()
{
    window_ = nullptr;
}
