# Cross build for aarch64-linux-gnu with Debian's cross compiler and the multiarch
# libraries (libxml2-dev:, libssl-dev:, libgtest-dev: of the target); ctest
# runs the tests under qemu-user. scripts/setup_arm.sh installs all of it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Installed (and packaged) into the target's multiarch directory, as Debian
# lays a library out; GNUInstallDirs does so by itself only for native builds.
set(CMAKE_INSTALL_LIBDIR lib/aarch64-linux-gnu CACHE PATH "object code libraries")

# Headers and libraries of the target come from the multiarch directories
# (/usr/lib/aarch64-linux-gnu), programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# qemu finds the target's loader and libc in the multiarch directories by
# itself; pointing it at /usr/aarch64-linux-gnu instead mixes the cross package's loader
# with the multiarch libc, whose versions differ.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static)
