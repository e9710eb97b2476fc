# Cross-builds the libraries for AArch64 Linux with the musl C library, on
# Debian, from Debian packages only:
#   dpkg --add-architecture arm64 && apt-get update
#   apt-get install g++-aarch64-linux-gnu musl-dev:arm64
# Usage:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-musl.cmake \
#         [-DPELMO_PYTHON=/path/to/python3.7 | -DPELMO_PYTHON_INCLUDE_DIR=/path/to/include/python3.7m]
#   (a pyenv Python 3.7 is found without either; only its headers are used)
#   cmake --build build-aarch64
#
# The compiler is Debian's AArch64 GCC, pointed at musl for arm64 and at
# cmake/target/aarch64-linux-musl/pyconfig.h as cmake/musl-toolchain-common.cmake
# describes.

set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(_pelmo_musl_triple aarch64-linux-musl)
set(_pelmo_cross_prefix "aarch64-linux-gnu-")
set(_pelmo_cross_prefix_doc "Prefix of the cross GCC and binutils")
set(_pelmo_gcc_missing "apt-get install g++-aarch64-linux-gnu")
set(_pelmo_musl_missing
    "musl for arm64 not found: dpkg --add-architecture arm64; apt-get install musl-dev:arm64")
include("${CMAKE_CURRENT_LIST_DIR}/musl-toolchain-common.cmake")
