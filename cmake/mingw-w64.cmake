# Cross-builds for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# PNG files too, with libspng built from its source (apt-get source libspng) over the static zlib
# of libz-mingw-w64-dev: add -DTILEGRAFT_SPNG_SOURCE=/path/to/libspng-0.7.3
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config sees the cross-compiler's packages only, never the build machine's (libspng).
set(ENV{PKG_CONFIG_LIBDIR} /usr/x86_64-w64-mingw32/lib/pkgconfig)
# The .exe needs no DLLs of the compiler's.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# ctest runs the Windows test programs under Wine where it is installed.
find_program(TILEGRAFT_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(TILEGRAFT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TILEGRAFT_WINE})
endif()
