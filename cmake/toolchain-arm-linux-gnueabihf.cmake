# Cross-build for the armhf board with Debian's cross compiler and multiarch Qt 5
# (crossbuild-essential-armhf, qtbase5-dev:armhf, libqt5serialport5-dev:armhf; moc comes
# from the native qtbase5-dev-tools), and tmx-sip's libre-dev:armhf and
# librem-dev:armhf, found by pkgconf:armhf's arm-linux-gnueabihf-pkg-config.
# cross/build.sh armhf installs all of it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Headers and libraries of the target come from the multiarch folders under
# /usr; programs (moc, rcc) are the build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(PKG_CONFIG_EXECUTABLE /usr/bin/arm-linux-gnueabihf-pkg-config CACHE FILEPATH "pkg-config for the target")

# ctest runs the target's executables under qemu-user; tests that start
# executables themselves need cross/emulate.sh around ctest.
# No "-L /usr/arm-linux-gnueabihf": the loader there is the cross toolchain's
# own glibc build, while the libraries resolve to the multiarch libc6:armhf;
# the two builds do not mix (the first thread started hangs). libc6:armhf
# puts the target's loader where the executables look for it.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
