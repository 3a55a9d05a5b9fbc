# 64-bit ARM (Debian's arm64): see debian_cross.cmake.
set(KEEL_TRIPLE aarch64-linux-gnu)
set(KEEL_QEMU aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian_cross.cmake)
