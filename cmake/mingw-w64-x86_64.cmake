# Cross build of tessaly.exe for 64-bit Windows with Debian's mingw-w64 (the
# posix flavour, whose libstdc++ has std::thread):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSALY_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSALY_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSALY_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSALY_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TESSALY_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libdeflate for Windows, built into .deps/mingw by scripts/install-windows-deps
# and found through its pkg-config file there; no pkg-config file of the
# Linux machine may answer for the cross build.
get_filename_component(TESSALY_MINGW_DEPS "${CMAKE_CURRENT_LIST_DIR}/../.deps/mingw" ABSOLUTE)
list(APPEND CMAKE_FIND_ROOT_PATH ${TESSALY_MINGW_DEPS})
set(ENV{PKG_CONFIG_LIBDIR} ${TESSALY_MINGW_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
