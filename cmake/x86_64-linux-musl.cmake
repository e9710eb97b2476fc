# Cross-builds the libraries for x86-64 Linux with the musl C library, on
# Debian, from Debian packages only:
#   apt-get update
#   apt-get install g++ musl-tools
# Usage:
#   cmake -S . -B build-musl64 -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-linux-musl.cmake \
#         [-DPELMO_PYTHON=/path/to/python3.7 | -DPELMO_PYTHON_INCLUDE_DIR=/path/to/include/python3.7m]
#   (a pyenv Python 3.7 is found without either; only its headers are used)
#   cmake --build build-musl64
#
# A second musl target, buildable on any Debian x86-64 machine: Debian's own
# GCC (which targets glibc) pointed at musl's headers, start files and
# libc.so exactly as for AArch64 (cmake/musl-toolchain-common.cmake does it
# for both), with the x86-64 musl pyconfig.h. The result cannot be loaded by
# the host's (glibc) interpreter; it is checked as a file.

set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_pelmo_musl_triple x86_64-linux-musl)
set(_pelmo_cross_prefix "")
set(_pelmo_cross_prefix_doc "Prefix of the GCC and binutils (none: the host's)")
set(_pelmo_gcc_missing "apt-get install g++")
set(_pelmo_musl_missing "musl for x86-64 not found: apt-get install musl-tools")
include("${CMAKE_CURRENT_LIST_DIR}/musl-toolchain-common.cmake")
