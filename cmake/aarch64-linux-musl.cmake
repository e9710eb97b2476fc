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
# The compiler is Debian's AArch64 GCC, which targets glibc; it is pointed at
# musl instead: musl's headers replace the C library's (the libraries use no
# C++ library headers, so none are needed), musl's crti.o/crtn.o replace
# glibc's start files, and -lc finds musl's libc.so. GCC still supplies its own
# headers (stddef.h, stdint.h), crtbeginS.o/crtendS.o and the static libgcc.a,
# none of which ties the result to glibc. How a library is compiled and linked
# stays in cmake/PelmoModule.cmake; this file only says where things are.
# The Python headers are the host's CPython 3.7 headers (the same on every
# platform) with the target's own pyconfig.h in place of the host's.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(PELMO_CROSS_PREFIX "aarch64-linux-gnu-" CACHE STRING "Prefix of the cross GCC and binutils")
set(PELMO_MUSL_INCLUDE "/usr/include/aarch64-linux-musl" CACHE PATH "musl's headers for the target")
set(PELMO_MUSL_LIBDIR "/lib/aarch64-linux-musl" CACHE PATH "Directory of musl's libc.so for the target")
set(PELMO_MUSL_CRTDIR "/usr/lib/aarch64-linux-musl" CACHE PATH "Directory of musl's crti.o and crtn.o")
set(PELMO_PYCONFIG_DIR "${CMAKE_CURRENT_LIST_DIR}/target/aarch64-linux-musl" CACHE PATH
    "Directory of the target's pyconfig.h")

set(CMAKE_C_COMPILER "${PELMO_CROSS_PREFIX}gcc")
set(CMAKE_CXX_COMPILER "${PELMO_CROSS_PREFIX}g++")

# GCC's own header directory, searched after musl's as musl's gcc wrapper does.
execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=include
                OUTPUT_VARIABLE _pelmo_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE _pelmo_gcc_res ERROR_QUIET)
if(NOT _pelmo_gcc_res EQUAL 0 OR NOT IS_DIRECTORY "${_pelmo_gcc_include}")
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} not found: apt-get install g++-aarch64-linux-gnu")
endif()
if(NOT EXISTS "${PELMO_MUSL_INCLUDE}/stdlib.h" OR NOT EXISTS "${PELMO_MUSL_LIBDIR}/libc.so")
  message(FATAL_ERROR "musl for arm64 not found: dpkg --add-architecture arm64; apt-get install musl-dev:arm64")
endif()

set(_pelmo_cflags "-nostdinc -isystem ${PELMO_MUSL_INCLUDE} -isystem ${_pelmo_gcc_include}")
set(CMAKE_C_FLAGS_INIT "${_pelmo_cflags}")
set(CMAKE_CXX_FLAGS_INIT "${_pelmo_cflags}")
# -B: start files are looked up there first; -L: libc.so before glibc's.
set(_pelmo_ldflags "-B${PELMO_MUSL_CRTDIR}/ -L${PELMO_MUSL_LIBDIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_pelmo_ldflags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_pelmo_ldflags}")

# Compiler checks must not link a program (there is no musl program start-up
# for this compiler driver, and nothing here runs on the build machine).
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
