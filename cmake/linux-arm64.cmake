# Cross build for 64-bit ARM Linux with Debian's cross compiler; the tests and
# the simulator they start run under qemu's user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# The cross toolchain's own root, then the system's: Debian's multiarch arm64
# packages (Qt 6) live in /usr/lib/aarch64-linux-gnu, which the compiler's
# library architecture picks out; their host tools (moc, uic, rcc) are the
# amd64 ones in /usr/lib/qt6/libexec.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The arm64 loader (-L) and its own C and C++ libraries come from the cross
# toolchain's root. Once Debian's multiarch arm64 libc is installed too (Qt
# pulls it in), the system's library cache would pair that loader with the
# other libc build, and threaded programs hang: LD_LIBRARY_PATH keeps them a
# pair, and names the multiarch directory after it for Qt's libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu
    -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib:/usr/lib/aarch64-linux-gnu)
