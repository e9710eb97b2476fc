# The part of the musl toolchain files (cmake/<target>.cmake) that is the same
# for every target; each of them sets these, then includes this file:
#   CMAKE_SYSTEM_PROCESSOR      the target machine (aarch64, x86_64)
#   _pelmo_musl_triple          the target, <machine>-linux-musl: names musl's
#                               directories and cmake/target/<triple>/pyconfig.h
#   _pelmo_cross_prefix         default prefix of GCC and binutils
#   _pelmo_cross_prefix_doc     what that prefix is
#   _pelmo_gcc_missing          message when the compiler is missing
#   _pelmo_musl_missing         message when musl for the target is missing
#
# The compiler is Debian's GCC, which targets glibc; it is pointed at musl
# instead: musl's headers replace the C library's (the libraries use no C++
# library headers, so none are needed), musl's crti.o/crtn.o replace glibc's
# start files, and -lc finds musl's libc.so. GCC still supplies its own
# headers (stddef.h, stdint.h), crtbeginS.o/crtendS.o and the static libgcc.a,
# none of which ties the result to glibc. How a library is compiled and linked
# stays in cmake/PelmoModule.cmake; the toolchain files only say where things
# are. The Python headers are the host's CPython 3.7 headers (the same on
# every platform) with the target's own pyconfig.h in place of the host's.

set(CMAKE_SYSTEM_NAME Linux)

set(PELMO_CROSS_PREFIX "${_pelmo_cross_prefix}" CACHE STRING "${_pelmo_cross_prefix_doc}")
set(PELMO_MUSL_INCLUDE "/usr/include/${_pelmo_musl_triple}" CACHE PATH "musl's headers for the target")
set(PELMO_MUSL_LIBDIR "/lib/${_pelmo_musl_triple}" CACHE PATH "Directory of musl's libc.so for the target")
set(PELMO_MUSL_CRTDIR "/usr/lib/${_pelmo_musl_triple}" CACHE PATH "Directory of musl's crti.o and crtn.o")
set(PELMO_PYCONFIG_DIR "${CMAKE_CURRENT_LIST_DIR}/target/${_pelmo_musl_triple}" CACHE PATH
    "Directory of the target's pyconfig.h")

set(CMAKE_C_COMPILER "${PELMO_CROSS_PREFIX}gcc")
set(CMAKE_CXX_COMPILER "${PELMO_CROSS_PREFIX}g++")

# GCC's own header directory, searched after musl's as musl's gcc wrapper does.
execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=include
                OUTPUT_VARIABLE _pelmo_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE _pelmo_gcc_res ERROR_QUIET)
if(NOT _pelmo_gcc_res EQUAL 0 OR NOT IS_DIRECTORY "${_pelmo_gcc_include}")
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} not found: ${_pelmo_gcc_missing}")
endif()
if(NOT EXISTS "${PELMO_MUSL_INCLUDE}/stdlib.h" OR NOT EXISTS "${PELMO_MUSL_LIBDIR}/libc.so")
  message(FATAL_ERROR "${_pelmo_musl_missing}")
endif()

set(_pelmo_cflags "-nostdinc -isystem ${PELMO_MUSL_INCLUDE} -isystem ${_pelmo_gcc_include}")
set(CMAKE_C_FLAGS_INIT "${_pelmo_cflags}")
set(CMAKE_CXX_FLAGS_INIT "${_pelmo_cflags}")
# -B: start files are looked up there first; -L: libc.so before glibc's.
set(_pelmo_ldflags "-B${PELMO_MUSL_CRTDIR}/ -L${PELMO_MUSL_LIBDIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_pelmo_ldflags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_pelmo_ldflags}")
# Programs (the target's interpreter, native tests) start with musl's Scrt1.o
# (found through -B) and are run by musl's dynamic loader; libgcc is linked
# statically, as GCC's shared libgcc_s is built for glibc.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "${_pelmo_ldflags} -Wl,--dynamic-linker=/lib/ld-musl-${CMAKE_SYSTEM_PROCESSOR}.so.1 -static-libgcc")

# The compiler checks do not link a program: a C++ program would take GCC's
# libstdc++, which is built for glibc. (C programs link against musl with the
# flags above; the target interpreter's probes do that.)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
