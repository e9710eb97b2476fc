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
# libc.so exactly as cmake/aarch64-linux-musl.cmake does for AArch64, with the
# x86-64 musl pyconfig.h. The result cannot be loaded by the host's (glibc)
# interpreter; it is checked as a file.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELMO_CROSS_PREFIX "" CACHE STRING "Prefix of the GCC and binutils (none: the host's)")
set(PELMO_MUSL_INCLUDE "/usr/include/x86_64-linux-musl" CACHE PATH "musl's headers for the target")
set(PELMO_MUSL_LIBDIR "/lib/x86_64-linux-musl" CACHE PATH "Directory of musl's libc.so for the target")
set(PELMO_MUSL_CRTDIR "/usr/lib/x86_64-linux-musl" CACHE PATH "Directory of musl's crti.o and crtn.o")
set(PELMO_PYCONFIG_DIR "${CMAKE_CURRENT_LIST_DIR}/target/x86_64-linux-musl" CACHE PATH
    "Directory of the target's pyconfig.h")

set(CMAKE_C_COMPILER "${PELMO_CROSS_PREFIX}gcc")
set(CMAKE_CXX_COMPILER "${PELMO_CROSS_PREFIX}g++")

# GCC's own header directory, searched after musl's as musl's gcc wrapper does.
execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=include
                OUTPUT_VARIABLE _pelmo_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE _pelmo_gcc_res ERROR_QUIET)
if(NOT _pelmo_gcc_res EQUAL 0 OR NOT IS_DIRECTORY "${_pelmo_gcc_include}")
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} not found: apt-get install g++")
endif()
if(NOT EXISTS "${PELMO_MUSL_INCLUDE}/stdlib.h" OR NOT EXISTS "${PELMO_MUSL_LIBDIR}/libc.so")
  message(FATAL_ERROR "musl for x86-64 not found: apt-get install musl-tools")
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
