# Cross-build for the arm64 board with Debian's cross compiler and multiarch Qt 5
# (crossbuild-essential-arm64, qtbase5-dev:arm64, libqt5serialport5-dev:arm64; moc comes
# from the native qtbase5-dev-tools), and tmx-sip's libre-dev:arm64 and
# librem-dev:arm64, found by pkgconf:arm64's aarch64-linux-gnu-pkg-config.
# cross/build.sh arm64 installs all of it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Headers and libraries of the target come from the multiarch folders under
# /usr; programs (moc, rcc) are the build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(PKG_CONFIG_EXECUTABLE /usr/bin/aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for the target")

# ctest runs the target's executables under qemu-user; tests that start
# executables themselves need cross/emulate.sh around ctest.
# No "-L /usr/aarch64-linux-gnu": the loader there is the cross toolchain's
# own glibc build, while the libraries resolve to the multiarch libc6:arm64;
# the two builds do not mix (the first thread started hangs). libc6:arm64
# puts the target's loader where the executables look for it.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
