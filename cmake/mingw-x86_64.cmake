# The same Windows code built for 64-bit Windows, for running the Win32 tests
# under 64-bit Wine on machines that cannot execute 32-bit programs.
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(WINE_LOADER_NAME wine64)
set(WINE_ARCH win64)
