# libffi for the _ctypes module, from Debian's source package, built for the
# target's machine and linked into the interpreter. libffi's own configure
# is replaced by what it would find on Linux with GCC and musl: the two
# generated headers are written here from the probes already made for
# pyconfig.h and the machine's name.

include(CheckIncludeFile)
include(CheckSymbolExists)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(_ffi_target AARCH64)
  set(_ffi_dir aarch64)
  set(_ffi_sources ffi.c sysv.S)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(_ffi_target X86_64)
  set(_ffi_dir x86)
  # The Windows calling convention is part of every x86-64 libffi.
  set(_ffi_sources ffi64.c unix64.S ffiw64.c win64.S)
else()
  message(FATAL_ERROR "no libffi port chosen for ${CMAKE_SYSTEM_PROCESSOR}")
endif()
list(TRANSFORM _ffi_sources PREPEND "${LIBFFI_SOURCE}/src/${_ffi_dir}/")

check_include_file(sys/mman.h HAVE_SYS_MMAN_H)
check_symbol_exists(mkostemp stdlib.h HAVE_MKOSTEMP)
check_symbol_exists(memfd_create sys/mman.h HAVE_MEMFD_CREATE)
set(_ffi_gen "${CMAKE_CURRENT_BINARY_DIR}/libffi")

# ffi.h: no trampoline table (that is Apple's), long double distinct from
# double on both machines (IEEE binary128 on AArch64, x87 extended on x86-64).
set(TARGET ${_ffi_target})
set(VERSION 3.4)
set(HAVE_LONG_DOUBLE 1)
set(FFI_EXEC_TRAMPOLINE_TABLE 0)
configure_file("${LIBFFI_SOURCE}/include/ffi.h.in" "${_ffi_gen}/ffi.h" @ONLY)
configure_file("${LIBFFI_SOURCE}/src/${_ffi_dir}/ffitarget.h" "${_ffi_gen}/ffitarget.h" COPYONLY)

# fficonfig.h. Closures get their executable memory from mmap (the library's
# Linux default); the static trampolines that read /proc/self/maps stay off,
# as they would find no shared libffi to map in this statically linked program.
set(_cfg "/* fficonfig.h for ${CMAKE_SYSTEM_PROCESSOR}-linux-musl, written by libffi.cmake. */
#define STDC_HEADERS 1
#define HAVE_STDINT_H 1
#define HAVE_INTTYPES_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_MEMCPY 1
#define HAVE_ALLOCA 1
#define HAVE_LONG_DOUBLE 1
#define SIZEOF_DOUBLE ${SIZEOF_DOUBLE}
#define SIZEOF_LONG_DOUBLE ${SIZEOF_LONG_DOUBLE}
#define SIZEOF_SIZE_T ${SIZEOF_SIZE_T}
#define HAVE_MMAP 1
#define HAVE_MMAP_ANON 1
#define HAVE_MMAP_FILE 1
#define HAVE_MMAP_DEV_ZERO 1
/* GNU as: call frame directives, read-only .eh_frame, hidden symbols. */
#define HAVE_AS_CFI_PSEUDO_OP 1
#define HAVE_RO_EH_FRAME 1
#define EH_FRAME_FLAGS \"a\"
#define HAVE_HIDDEN_VISIBILITY_ATTRIBUTE 1
")
foreach(_var HAVE_ALLOCA_H HAVE_SYS_MMAN_H HAVE_SYS_STAT_H HAVE_SYS_TYPES_H HAVE_UNISTD_H
             HAVE_STRINGS_H HAVE_DLFCN_H HAVE_MKOSTEMP HAVE_MEMFD_CREATE)
  if(${_var})
    string(APPEND _cfg "#define ${_var} 1\n")
  endif()
endforeach()
if(_ffi_target STREQUAL "X86_64")
  string(APPEND _cfg "#define HAVE_AS_X86_PCREL 1\n#define HAVE_AS_X86_64_UNWIND_SECTION_TYPE 1\n")
endif()
string(APPEND _cfg "
#ifdef LIBFFI_ASM
#define FFI_HIDDEN(name) .hidden name
#else
#define FFI_HIDDEN __attribute__ ((visibility (\"hidden\")))
#endif
")
file(WRITE "${_ffi_gen}/fficonfig.h.new" "${_cfg}")
configure_file("${_ffi_gen}/fficonfig.h.new" "${_ffi_gen}/fficonfig.h" COPYONLY)

add_library(ffi STATIC
  "${LIBFFI_SOURCE}/src/prep_cif.c" "${LIBFFI_SOURCE}/src/types.c"
  "${LIBFFI_SOURCE}/src/raw_api.c" "${LIBFFI_SOURCE}/src/java_raw_api.c"
  "${LIBFFI_SOURCE}/src/closures.c" "${LIBFFI_SOURCE}/src/tramp.c" ${_ffi_sources})
target_include_directories(ffi PUBLIC "${_ffi_gen}" PRIVATE "${LIBFFI_SOURCE}/include")
target_compile_options(ffi PRIVATE -w)
