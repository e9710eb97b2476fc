/* pyconfig.h for building CPython 3.7 extension modules for x86-64 Linux
 * with the musl C library.
 *
 * The interpreter's other headers are the same on every platform; this file
 * is what makes them describe the target. An extension needs far less of it
 * than the interpreter's own build: only what the public headers consult.
 * Anything wrong here changes type sizes or structure layouts between the
 * library and the interpreter that loads it, so every value is checked
 * against the cross compiler by the cross-build test.
 *
 * Target: x86-64, LP64 (int 32 bits; long, pointers and size_t 64 bits),
 * little-endian, IEEE 754 binary64 doubles, musl 1.2: the AArch64 file's
 * values except for the x87 unit and long double's format. A release interpreter
 * (no Py_DEBUG, so no reference tracing fields), threads always on in 3.7.
 */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H

/* Feature macros as the interpreter's configure sets them on Linux: the
 * headers use POSIX and GNU declarations (ssize_t, wchar functions). */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#define _POSIX_C_SOURCE 200809L
#define _XOPEN_SOURCE 700
#define _XOPEN_SOURCE_EXTENDED 1

/* Type sizes and alignments of x86-64 LP64 with musl. wchar_t is 32 bits
 * (signed on x86-64); pid_t is int; pthread_t is a pointer in musl;
 * time_t is 64 bits on every musl 64-bit target. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 8
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_OFF_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_PID_T 4
#define SIZEOF_PTHREAD_T 8
#define SIZEOF_WCHAR_T 4
#define SIZEOF__BOOL 1
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_LONG_DOUBLE 16   /* x87 80-bit extended, padded to 16 bytes */
#define ALIGNOF_LONG 8
#define ALIGNOF_SIZE_T 8
#define HAVE_SSIZE_T 1          /* Py_ssize_t is ssize_t */

/* Little-endian IEEE doubles: the headers then keep the short float repr.
 * No WORDS_BIGENDIAN. The interpreter has the x87 precision control that
 * HAVE_GCC_ASM_FOR_X87 declares (it adds declarations, not fields). */
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_GCC_ASM_FOR_X87 1

/* printf length modifier for size_t (used by PY_FORMAT_SIZE_T users). */
#define PY_FORMAT_SIZE_T "z"

/* These two add fields to PyInterpreterState (dlopenflags; the fork
 * handler lists), whose layout must be the interpreter's: musl has both. */
#define HAVE_DLOPEN 1
#define HAVE_FORK 1

/* Headers that Python.h and pyport.h include when they exist; all are in
 * musl. crypt.h is not: musl declares crypt() in unistd.h, so unlike the
 * host's file this one leaves HAVE_CRYPT_H (and HAVE_CRYPT_R) undefined. */
#define HAVE_ERRNO_H 1
#define HAVE_UNISTD_H 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TIME_H 1
#define HAVE_SYS_SELECT_H 1
#define HAVE_LANGINFO_H 1

/* C99 maths in musl: without these pymath.h would declare its own
 * prototypes and fall back to slower classification macros. */
#define HAVE_COPYSIGN 1
#define HAVE_HYPOT 1
#define HAVE_ROUND 1
#define HAVE_DECL_ISNAN 1
#define HAVE_DECL_ISINF 1
#define HAVE_DECL_ISFINITE 1

/* Declarations that exist only when the libc has the function. */
#define HAVE_CLOCK_GETTIME 1
#define HAVE_READLINK 1
#define HAVE_REALPATH 1

/* As in a default interpreter build: docstrings kept, pymalloc on. */
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1

#endif /* Py_PYCONFIG_H */
