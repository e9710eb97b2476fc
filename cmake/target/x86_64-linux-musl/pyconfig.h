/* pyconfig.h for building CPython 3.7 extension modules for x86-64 Linux
 * with the musl C library.
 *
 * Target: x86-64, LP64 (int 32 bits; long, pointers and size_t 64 bits),
 * little-endian, IEEE 754 binary64 doubles, musl 1.2: the AArch64 file's
 * values except for the x87 unit and long double's format. A release interpreter
 * (no Py_DEBUG, so no reference tracing fields), threads always on in 3.7.
 * What every 64-bit musl target shares (sizes, feature macros, the libc's
 * headers and functions) is in ../musl-lp64-common.h, with why this file
 * matters; this one adds what is particular to x86-64. wchar_t is signed on
 * x86-64 (its size is the common 32 bits).
 */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H

#include "../musl-lp64-common.h"

#define SIZEOF_LONG_DOUBLE 16   /* x87 80-bit extended, padded to 16 bytes */

/* Little-endian IEEE doubles: the headers then keep the short float repr.
 * No WORDS_BIGENDIAN. The interpreter has the x87 precision control that
 * HAVE_GCC_ASM_FOR_X87 declares (it adds declarations, not fields). */
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_GCC_ASM_FOR_X87 1

#endif /* Py_PYCONFIG_H */
