# Cross build for 64-bit ARM Linux with Debian's cross compiler and the arm64
# development packages installed beside the machine's own (multiarch), as
# scripts/install-aarch64-deps puts them:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# What the build runs of its own making (the palette generator, the tests'
# discovery) and what CTest runs goes through qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TESSALY_AARCH64 aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${TESSALY_AARCH64}-gcc)
set(CMAKE_CXX_COMPILER ${TESSALY_AARCH64}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TESSALY_AARCH64})

# The arm64 libraries come from the machine's own root, so the emulator's
# loader and libraries are taken from there too: those of the cross package
# (/usr/aarch64-linux-gnu) mixed with the multiarch C library hang in the
# first thread started.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Only the arm64 pkg-config files may answer for this build.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TESSALY_AARCH64}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
