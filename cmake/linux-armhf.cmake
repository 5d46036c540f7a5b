# Linux on 32-bit ARM with hardware floating point (Debian's armhf), for the
# gateway's older boxes.
set(TOOLCHAIN_PREFIX arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
# (no notes that a parameter is passed otherwise than by GCC before 7.1:
# nothing here links with code that old)
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
