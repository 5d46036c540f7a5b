# What both Linux ARM cross builds share; the including file sets
# TOOLCHAIN_PREFIX (the GNU triplet, also Debian's multiarch folder),
# CMAKE_SYSTEM_PROCESSOR and the qemu that runs the programs.
# Debian's cross compilers (crossbuild-essential-*) and the target's
# libraries installed as foreign-architecture packages (libmosquitto-dev:arm64
# and the others): the headers are the machine's own, the libraries and their
# pkg-config files are in /usr/lib/<triplet>.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TOOLCHAIN_PREFIX})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TOOLCHAIN_PREFIX}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# The build's programs run under user-mode emulation (no binfmt needed) with
# the target's loader and C library from the multiarch folders, where its
# other libraries are. (Not the cross toolchain's copy in /usr/<triplet>: that
# is another build of the C library, and a loader of one build with the C
# library of another corrupts the threads' stack cache: the first thread a
# program starts never comes back from pthread_create.)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU})
