// The Linux entry point: the command line, then the dialog (or a console mode)
// over the same object graph as the Windows program's WinMain.
#include "app/linux_program.h"

int main(int argc, char** argv)
{
    return runLinuxProgram(argc, argv);
}
