# 32-bit ARM with hardware floating point (Debian's armhf): see debian_cross.cmake.
set(KEEL_TRIPLE arm-linux-gnueabihf)
set(KEEL_QEMU arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian_cross.cmake)
