# Shared part of the ARM toolchain files: Debian's cross compilers for
# KZ_CROSS_TRIPLE, the development packages of that architecture through
# multiarch (libraries in /usr/lib/<triple>), and KZ_CROSS_EMULATOR with the
# multiarch loader and libraries (-L /) for the programs the build runs
# itself (the artwork generator, test discovery) and for CTest. Mixing the
# multiarch libraries with the cross toolchain's own copies under
# /usr/<triple> crashes threaded programs, hence -L / rather than that prefix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KZ_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KZ_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KZ_CROSS_TRIPLE})
set(CMAKE_CROSSCOMPILING_EMULATOR ${KZ_CROSS_EMULATOR} -L /)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KZ_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
