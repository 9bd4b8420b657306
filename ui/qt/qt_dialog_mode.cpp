// The desktop build's dialog: Qt's, in this process, over the same start-up
// and shutdown as WinMain.
#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app_globals.h"
#include "app/app_lifecycle.h"
#include "app/dialog_mode.h"
#include "ui/qt/main_dialog.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

// Whether Qt can show the dialog: an X or Wayland display, or a platform
// plugin named in QT_QPA_PLATFORM that needs neither (offscreen, vnc,
// linuxfb, eglfs...). Without one Qt would abort the program.
bool haveDisplay()
{
    if (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY"))
        return true;
    if (!isSet("QT_QPA_PLATFORM"))
        return false;
    // "xcb", "wayland-egl", "wayland;xcb", "offscreen:fontengine=freetype"...
    const std::string platforms = std::getenv("QT_QPA_PLATFORM");
    const std::string first = platforms.substr(0, platforms.find_first_of(";:"));
    return first != "xcb" && first.rfind("wayland", 0) != 0;
}

}  // namespace

int prepareDialog(int, char**)
{
    // A test may have made the application object already.
    if (QCoreApplication::instance() == nullptr && !haveDisplay()) {
        std::fputs("merlintest: cannot open a display; without a desktop use merlintest --check N\n", stderr);
        return kExitFailure;
    }
    return kDialogHere;
}

int runDialog(int argc, char** argv)
{
    // A test may have made the application object already.
    QApplication* application = nullptr;
    if (QCoreApplication::instance() == nullptr)
        application = new QApplication(argc, argv);
    // A taskbar finds the desktop entry, and with it the name, by this;
    // the window shows the program's own icon rather than Qt's.
    QGuiApplication::setDesktopFileName(QStringLiteral("merlintest"));
    QGuiApplication::setWindowIcon(programIcon());
    int code = kExitOk;
    int error = 0;
    if (startApplication(nullptr)) {
        // Whichever way the dialog ended.
        runMainDialog(theDlgMerlinTest, nullptr);
    } else {
        error = errno;
        code = kDialogCannotStart;
    }
    shutdownApplication();
    delete application;
    errno = error;
    return code;
}
