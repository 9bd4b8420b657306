// The desktop build's dialog: Qt's, in this process, over the same start-up
// and shutdown as WinMain.
#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <string>

#include "app/app_globals.h"
#include "app/app_lifecycle.h"
#include "app/dialog_mode.h"
#include "ui/qt/main_dialog.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

}  // namespace

int prepareDialog(int, char**, const QtPlatformOptions& platform)
{
    // Qt would abort the program where no platform starts: one line instead.
    // A test may have made the application object already.
    if (QCoreApplication::instance() == nullptr) {
        const std::string problem = displayProblem(platform);
        if (!problem.empty()) {
            std::fprintf(stderr, "%s\n", problem.c_str());
            return kExitFailure;
        }
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
