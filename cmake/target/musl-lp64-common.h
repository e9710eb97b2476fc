/* What the pyconfig.h of every 64-bit Linux target with the musl C library
 * says alike, included by cmake/target/<target>/pyconfig.h; each of those
 * adds what is particular to its machine (long double, byte order, x87).
 *
 * The interpreter's other headers are the same on every platform; pyconfig.h
 * is what makes them describe the target. An extension needs far less of it
 * than the interpreter's own build: only what the public headers consult.
 * Anything wrong here changes type sizes or structure layouts between the
 * library and the interpreter that loads it, so every value is checked
 * against each cross compiler by the cross-build test.
 *
 * Targets: LP64 (int 32 bits; long, pointers and size_t 64 bits), musl 1.2.
 * A release interpreter (no Py_DEBUG, so no reference tracing fields),
 * threads always on in 3.7.
 */
#ifndef PELMO_MUSL_LP64_COMMON_H
#define PELMO_MUSL_LP64_COMMON_H

/* Feature macros as the interpreter's configure sets them on Linux: the
 * headers use POSIX and GNU declarations (ssize_t, wchar functions). */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#define _POSIX_C_SOURCE 200809L
#define _XOPEN_SOURCE 700
#define _XOPEN_SOURCE_EXTENDED 1

/* Type sizes and alignments of LP64 with musl, except long double's (which
 * depends on the machine). wchar_t is 32 bits (its signedness differs between
 * machines, its size does not); pid_t is int; pthread_t is a pointer in musl;
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
#define ALIGNOF_LONG 8
#define ALIGNOF_SIZE_T 8
#define HAVE_SSIZE_T 1          /* Py_ssize_t is ssize_t */

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

#endif /* PELMO_MUSL_LP64_COMMON_H */
