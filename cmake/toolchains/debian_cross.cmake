# A cross build with Debian's cross compiler for KEEL_TRIPLE and the target's
# multiarch libraries (libxml2-dev:, libssl-dev:, libgtest-dev: of its
# architecture); ctest runs the tests under qemu-user (KEEL_QEMU).
# scripts/setup_arm.sh installs all of it. Included by the files named after
# each target, which set the two variables and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KEEL_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KEEL_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KEEL_TRIPLE})
# Installed (and packaged) into the target's multiarch directory, as Debian
# lays a library out; GNUInstallDirs does so by itself only for native builds.
set(CMAKE_INSTALL_LIBDIR lib/${KEEL_TRIPLE} CACHE PATH "object code libraries")

# Headers and libraries of the target come from the multiarch directories
# (/usr/lib/<triple>), programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KEEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KEEL_TRIPLE}/pkgconfig:/usr/share/pkgconfig)

# qemu finds the target's loader and libc in the multiarch directories by
# itself; pointing it at /usr/<triple> instead mixes the cross package's
# loader with the multiarch libc, whose versions differ.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-${KEEL_QEMU}-static)
