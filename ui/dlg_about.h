// The About box's decisions, free of any toolkit: what its controls look like
// once it opens, which commands close it and which one opens the site. The
// Win32 and Qt front-ends are thin adapters (AboutWindow) around it, as
// DlgMerlinTest is for the main dialog.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

// What the box's decisions need from a toolkit; controls by identifier.
class AboutWindow {
public:
    // Gives the control an underlined copy of its own font.
    virtual void underlineFont(int controlId) = 0;
    // Gives the control a copy of its own font, `height` high (the character
    // cell, at 96 dpi in pixels) and of the given weight (700 bold).
    virtual void setFontHeightAndWeight(int controlId, int height, int weight) = 0;
    // From now on the control shows the hand pointer, is drawn in the
    // hyperlink colour on the box's own background, and reports clicks.
    virtual void makeLink(int controlId) = 0;
    // Hands the address to the user's web browser without waiting for it.
    virtual void openSite(const char* address) = 0;
    virtual void endDialog(int result) = 0;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// The address shown by the link control and opened by a click on it.
extern const char kSiteAddress[];

// A control's notification code of a second click in quick succession, in the
// high word of a command (STN_DBLCLK).
constexpr uint32_t kDoubleClickNotification = 1;

class DlgAbout {
public:
    static constexpr int kTitleHeight = 16;
    static constexpr int kTitleWeight = 700;

    void onInitDialog(AboutWindow* window);
    // `command` is the control id in the low word and its notification code
    // in the high word, compared whole: only a plain click (code 0) counts,
    // so the second half of a double-click on the link opens nothing. True
    // when the command is one of the box's.
    bool onCommand(uint32_t command);
    void onDialogEnded();

private:
    AboutWindow* window_ = nullptr;
};
