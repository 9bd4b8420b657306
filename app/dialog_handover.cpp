// The console build's dialog: the desktop build's program, installed beside
// this one (../libexec/merlintest/merlintest-dialog from this program's
// directory), takes over the process with the same command line.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "app/dialog_mode.h"

namespace {

constexpr int kExitFailure = 1;

std::string desktopProgram()
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return std::string();
    std::string directory(self, static_cast<size_t>(length));
    directory.erase(directory.rfind('/') + 1);
    return directory + "../libexec/merlintest/merlintest-dialog";
}

}  // namespace

int prepareDialog(int, char** argv, const QtPlatformOptions&)
{
    const std::string program = desktopProgram();
    if (!program.empty())
        execv(program.c_str(), argv);
    if (program.empty() || errno == ENOENT) {
        std::fputs(
            "merlintest: the dialog is not installed: install the package merlintest-desktop,\n"
            "or without a desktop use merlintest --check N\n",
            stderr);
    } else {
        std::fprintf(stderr, "merlintest: cannot start the dialog (%s): %s\n", program.c_str(), std::strerror(errno));
    }
    return kExitFailure;
}

int runDialog(int, char**)
{
    // prepareDialog never lets the program get this far.
    return kExitFailure;
}
