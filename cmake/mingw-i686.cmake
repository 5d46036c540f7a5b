# Cross build of the product: 32-bit Windows with MinGW-w64 (posix threads).
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# true double precision: the x87 default rounds seconds x 1000 differently
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
set(WINE_LOADER_NAME wine)
set(WINE_ARCH win32)
