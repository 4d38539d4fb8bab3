# Cross build for 64-bit ARM with Debian's cross compilers (crossbuild-essential-arm64) and the
# arm64 libraries installed beside the build machine's own (dpkg --add-architecture arm64).
#   cmake -S . -B build/arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Test programs run under qemu-user; moc, rcc, lrelease and qdbusxml2cpp are the build
# machine's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Headers and libraries from the arm64 packages only; programs (pkg-config, the Qt tools) from
# the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# pkg-config answers with the arm64 .pc files (Debian's cross wrapper, when it is there).
find_program(BRISK_CROSS_PKG_CONFIG NAMES aarch64-linux-gnu-pkg-config)
if(BRISK_CROSS_PKG_CONFIG)
  set(PKG_CONFIG_EXECUTABLE ${BRISK_CROSS_PKG_CONFIG} CACHE FILEPATH "pkg-config for arm64")
else()
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
endif()

# The Qt tools run on the build machine: Qt looks for their CMake packages under QT_HOST_PATH.
set(QT_HOST_PATH /usr CACHE PATH "Qt for the build machine")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "its CMake packages")
# Where find_package(Qt6 COMPONENTS LinguistTools) looks for the host's Qt*Tools packages.
set(Qt6HostInfo_DIR ${QT_HOST_PATH_CMAKE_DIR}/Qt6HostInfo CACHE PATH "the host Qt's description")

# The dynamic loader comes from the cross C library (-L); the C library it loads must be that
# same build, not the libc6:arm64 the arm64 packages bring: a loader and a libc of two Debian
# revisions hang at the first new thread.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib
    CACHE STRING "runs the arm64 test programs")

# Under qemu-user neither the umockdev preload (it works inside a process of the build machine)
# nor a test that starts one of our programs (no binfmt_misc: an arm64 child can not be run) works.
set(BRISK_TEST_LEAVE_OUT umockdev spawns CACHE STRING "Labels of the tests left out of this build")
