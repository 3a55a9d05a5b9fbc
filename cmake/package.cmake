# `cpack -G DEB` in a build tree makes two Debian packages from the install
# components: libkeel0 (runtime: the shared library) and libkeel-dev (dev:
# headers, libkeel.so, keel.pc, CMake package files). Configure that tree with
# -DCMAKE_INSTALL_PREFIX=/usr so that the library lands in the multiarch
# directory; `make package` does.
set(CPACK_PACKAGE_NAME keel)
set(CPACK_PACKAGE_VENDOR "Keel developers")
set(CPACK_PACKAGE_CONTACT "Keel developers <keel@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev)

# A cross build packages for its target's architecture, not the build
# machine's (which is what dpkg would answer).
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  endif()
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# dpkg-shlibdeps reads the needed entries of libkeel.so and names the Debian
# packages that hold them (libc6, libxml2, libssl3, libstdc++6, libgcc-s1).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file and the ldconfig trigger for the runtime package.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkeel0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The library of each architecture lives in its own multiarch directory, so
# those of several may be installed side by side.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_MULTIARCH same)
# The first line of a description is the package's summary.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "platform services for Linux behind one flat C interface
An event-driven runtime with its own main thread, TCP and UDP sockets,
serial ports, child processes, logging to standard error and dated files,
locks and threads, and a list, a ring buffer and a hash table.
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkeel-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkeel0 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "development files of Keel, platform services for Linux
The C headers (keel.h, keel/*.h), the C++20 header keel.hpp, the link
libkeel.so, keel.pc for pkg-config and the CMake package files for
find_package(keel), which give the imported target keel::keel.")

# `cpack -G ZIP` in a Windows build makes keel-<version>-windows-x86_64.zip of
# the same two components as the Debian packages, and of nothing else the tree
# might install: bin/keel.dll; lib/ with the import libraries, keel.pc and the
# CMake package files; include/. Its files sit in a folder of the same name,
# wherever the zip is unpacked.
if(WIN32)
  set(CPACK_PACKAGE_FILE_NAME "keel-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR}")
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()

include(CPack)
