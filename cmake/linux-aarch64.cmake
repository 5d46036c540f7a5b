# Linux on 64-bit ARM (Debian's arm64), for the gateway's boxes.
set(TOOLCHAIN_PREFIX aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
