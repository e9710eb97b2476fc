# The interpreter's pyconfig.h, learnt from the target's C library: every
# HAVE_ macro below is the answer of a compile (and link) against musl for the
# target machine, never a value copied from the build machine. Names are the
# ones CPython's sources test; what is not probed is set at the end, with why.
#
# Result: ${PY_CONFIG_DIR}/pyconfig.h, written only when its text changes.

include(CheckIncludeFile)
include(CheckSymbolExists)
include(CheckTypeSize)
include(CheckStructHasMember)
include(CheckCSourceCompiles)

# Probes link real programs (musl's start files and loader), so a function
# that is declared but absent from libc.so is not taken for present.
set(CMAKE_TRY_COMPILE_TARGET_TYPE EXECUTABLE)
# The interpreter compiles with these, so the probes see the same declarations.
set(PY_FEATURE_MACROS _GNU_SOURCE=1 _POSIX_C_SOURCE=200809L _XOPEN_SOURCE=700
    _XOPEN_SOURCE_EXTENDED=1 _DEFAULT_SOURCE=1)
list(TRANSFORM PY_FEATURE_MACROS PREPEND "-D" OUTPUT_VARIABLE CMAKE_REQUIRED_DEFINITIONS)
set(CMAKE_REQUIRED_QUIET ON)

set(_lines "")
macro(py_define name value)
  string(APPEND _lines "#define ${name} ${value}\n")
endmacro()

# HAVE_<HEADER>_H for every header the sources include when it exists. The
# Linux kernel's own headers (linux/*, asm/*) are not part of musl, so the
# features behind them (getrandom by system call, CAN and TIPC sockets) drop out.
set(_headers
  alloca.h asm/types.h crypt.h dirent.h dlfcn.h endian.h errno.h fcntl.h grp.h ieeefp.h
  inttypes.h langinfo.h libintl.h libutil.h linux/can.h linux/can/bcm.h linux/can/raw.h
  linux/netlink.h linux/random.h linux/tipc.h linux/vm_sockets.h memory.h net/if.h
  netpacket/packet.h poll.h pthread.h pty.h sched.h shadow.h signal.h spawn.h stdint.h
  stdlib.h string.h strings.h stropts.h sysexits.h sys/epoll.h sys/file.h sys/ioctl.h
  sys/loadavg.h sys/param.h sys/poll.h sys/random.h sys/resource.h sys/select.h
  sys/sendfile.h sys/socket.h sys/stat.h sys/statvfs.h sys/syscall.h sys/sysmacros.h
  sys/time.h sys/times.h sys/types.h sys/uio.h sys/un.h sys/utsname.h sys/wait.h
  sys/xattr.h termios.h unistd.h util.h utime.h wchar.h)
set(_present_headers "")
foreach(_h ${_headers})
  string(TOUPPER "HAVE_${_h}" _var)
  string(REGEX REPLACE "[/.]" "_" _var "${_var}")
  check_include_file("${_h}" ${_var})
  if(${_var})
    py_define(${_var} 1)
    list(APPEND _present_headers "${_h}")
  endif()
endforeach()

# Functions: declared by one of the present headers and found by the linker.
set(_decl_headers ${_present_headers} arpa/inet.h locale.h math.h netdb.h pwd.h semaphore.h
    stdio.h sys/mman.h time.h)
list(REMOVE_ITEM _decl_headers asm/types.h)
set(_functions
  accept4 acosh alarm asinh atanh chown chroot clock clock_getres clock_gettime clock_settime
  confstr copysign crypt_r ctermid dirfd dlopen dup2 dup3 epoll_create epoll_create1 erf erfc
  execv expm1 faccessat fchdir fchmod fchmodat fchown fchownat fdatasync fdopendir fexecve
  finite flock fork forkpty fpathconf fseeko fstatat fstatvfs fsync ftello ftruncate futimens
  futimes futimesat gai_strerror getaddrinfo getc_unlocked getentropy getgrouplist getgroups
  gethostbyname_r getitimer getloadavg getlogin getnameinfo getpagesize getpeername getpgid
  getpgrp getpid getpriority getpwent getresgid getresuid getsid getspent getspnam
  gettimeofday hstrerror hypot if_nameindex inet_aton inet_pton initgroups kill killpg
  lchmod lchown lgamma link linkat lockf log1p log2 lstat lutimes makedev mbrtowc memrchr
  mkdirat mkfifo mkfifoat mknod mknodat mktime mmap mremap nice openat openpty pathconf
  pause pipe2 poll posix_fadvise posix_fallocate pread preadv preadv2 prlimit
  pthread_getcpuclockid pthread_kill pthread_sigmask putenv pwrite pwritev pwritev2
  readlink readlinkat readv realpath renameat round sched_get_priority_max
  sched_rr_get_interval sched_setaffinity sched_setparam sched_setscheduler sem_getvalue
  sem_open sem_timedwait sem_unlink sendfile setegid seteuid setgid setgroups sethostname
  setitimer setlocale setpgid setpgrp setpriority setregid setresgid setresuid setreuid
  setsid setuid setvbuf sigaction sigaltstack siginterrupt sigpending sigrelse sigtimedwait
  sigwait sigwaitinfo snprintf socketpair statvfs strdup strftime symlink symlinkat sync
  sysconf tcgetpgrp tcsetpgrp tempnam tgamma timegm times tmpfile truncate ttyname uname
  unlinkat unsetenv utimensat utimes wait3 wait4 waitid waitpid wcscoll wcsftime wcsxfrm
  wmemcmp writev)
foreach(_f ${_functions})
  string(TOUPPER "HAVE_${_f}" _var)
  check_symbol_exists(${_f} "${_decl_headers}" ${_var})
  if(${_var})
    py_define(${_var} 1)
  endif()
endforeach()
# epoll and poll are named by the facility, not the call.
if(HAVE_EPOLL_CREATE)
  py_define(HAVE_EPOLL 1)
endif()

# dlopen flags the os module exports when the libc has them.
foreach(_flag LAZY NOW GLOBAL LOCAL NODELETE NOLOAD DEEPBIND MEMBER)
  check_symbol_exists(RTLD_${_flag} dlfcn.h HAVE_DECL_RTLD_${_flag})
  if(HAVE_DECL_RTLD_${_flag})
    py_define(HAVE_DECL_RTLD_${_flag} 1)
  endif()
endforeach()
foreach(_m isnan isinf isfinite)
  string(TOUPPER "HAVE_DECL_${_m}" _var)
  check_symbol_exists(${_m} math.h ${_var})
  if(${_var})
    py_define(${_var} 1)
  endif()
endforeach()

# Sizes of the C types, which must also match what the libraries built for
# the target assume (tests/test_platform.py compares them).
set(CMAKE_EXTRA_INCLUDE_FILES stdio.h sys/types.h wchar.h pthread.h stdint.h)
foreach(_t "int" "long" "long long" "void *" "short" "float" "double" "long double"
           "fpos_t" "size_t" "pid_t" "uintptr_t" "off_t" "time_t" "wchar_t" "_Bool"
           "pthread_t" "pthread_key_t")
  string(TOUPPER "${_t}" _var)
  string(REGEX REPLACE "[ *]+" "_" _var "${_var}")
  string(REGEX REPLACE "_$" "_P" _var "${_var}")
  check_type_size("${_t}" SIZEOF_${_var})
  if(NOT SIZEOF_${_var})
    message(FATAL_ERROR "sizeof(${_t}) could not be learnt from the target compiler")
  endif()
  py_define(SIZEOF_${_var} ${SIZEOF_${_var}})
endforeach()
if(SIZEOF_PTHREAD_KEY_T EQUAL SIZEOF_INT)
  py_define(PTHREAD_KEY_T_IS_COMPATIBLE_WITH_INT 1)
endif()
set(CMAKE_EXTRA_INCLUDE_FILES sys/types.h sys/socket.h netdb.h)
check_type_size("struct sockaddr_storage" STRUCT_SOCKADDR_STORAGE)
check_type_size("struct addrinfo" STRUCT_ADDRINFO)
check_type_size("ssize_t" SSIZE_T)
unset(CMAKE_EXTRA_INCLUDE_FILES)
foreach(_pair "HAVE_SOCKADDR_STORAGE;STRUCT_SOCKADDR_STORAGE" "HAVE_ADDRINFO;STRUCT_ADDRINFO"
              "HAVE_SSIZE_T;SSIZE_T")
  list(GET _pair 1 _size)
  if(HAVE_${_size})
    list(GET _pair 0 _var)
    py_define(${_var} 1)
  endif()
endforeach()

# Structure fields.
foreach(_probe
    "struct stat;st_blksize;sys/stat.h;HAVE_STRUCT_STAT_ST_BLKSIZE"
    "struct stat;st_blocks;sys/stat.h;HAVE_STRUCT_STAT_ST_BLOCKS"
    "struct stat;st_rdev;sys/stat.h;HAVE_STRUCT_STAT_ST_RDEV"
    "struct stat;st_mtim.tv_nsec;sys/stat.h;HAVE_STAT_TV_NSEC"
    "struct tm;tm_zone;time.h;HAVE_STRUCT_TM_TM_ZONE"
    "struct passwd;pw_gecos;pwd.h;HAVE_STRUCT_PASSWD_PW_GECOS"
    "struct passwd;pw_passwd;pwd.h;HAVE_STRUCT_PASSWD_PW_PASSWD"
    "siginfo_t;si_band;signal.h;HAVE_SIGINFO_T_SI_BAND"
    "struct dirent;d_type;dirent.h;HAVE_DIRENT_D_TYPE")
  list(GET _probe 0 _type)
  list(GET _probe 1 _member)
  list(GET _probe 2 _header)
  list(GET _probe 3 _var)
  check_struct_has_member("${_type}" "${_member}" "${_header}" ${_var} LANGUAGE C)
  if(${_var})
    py_define(${_var} 1)
  endif()
endforeach()
# With tm_zone the time module takes zone names from struct tm (as autoconf's
# AC_STRUCT_TIMEZONE says: HAVE_TM_ZONE, and no HAVE_TZNAME).
if(HAVE_STRUCT_TM_TM_ZONE)
  py_define(HAVE_TM_ZONE 1)
endif()

# What only a piece of code can tell: each snippet is what the sources do
# under the macro.
macro(py_probe var code)
  check_c_source_compiles("${code}" ${var})
  if(${var})
    py_define(${var} 1)
  endif()
endmacro()
py_probe(HAVE_GETRANDOM "#include <sys/random.h>
int main(void) { char b[4]; return (int)getrandom(b, sizeof b, GRND_NONBLOCK); }")
# The raw system call needs the kernel's GRND_ flags from <linux/random.h>.
py_probe(HAVE_GETRANDOM_SYSCALL "#include <unistd.h>
#include <sys/syscall.h>
#include <linux/random.h>
int main(void) { char b[4]; return (int)syscall(SYS_getrandom, b, sizeof b, GRND_NONBLOCK); }")
py_probe(HAVE_GETHOSTBYNAME_R_6_ARG "#include <netdb.h>
int main(void) { struct hostent h, *r; char b[64]; int e;
  return gethostbyname_r(\"x\", &h, b, sizeof b, &r, &e); }")
py_probe(HAVE_DEVICE_MACROS "#include <sys/types.h>
#include <sys/sysmacros.h>
int main(void) { dev_t d = makedev(1, 2); return (int)(major(d) + minor(d)); }")
if(HAVE_DEVICE_MACROS AND HAVE_SYS_SYSMACROS_H)
  py_define(MAJOR_IN_SYSMACROS 1)
endif()
py_probe(HAVE_COMPUTED_GOTOS "int main(int c, char **v) { static void *t[] = {&&a, &&b};
  (void)v; goto *t[c & 1]; a: return 0; b: return 1; }")
if(HAVE_COMPUTED_GOTOS)
  py_define(USE_COMPUTED_GOTOS 1)
endif()
py_probe(HAVE_BUILTIN_ATOMIC "int x; int main(void) {
  __atomic_store_n(&x, 1, __ATOMIC_SEQ_CST); return __atomic_load_n(&x, __ATOMIC_SEQ_CST); }")
py_probe(HAVE_STD_ATOMIC "#include <stdatomic.h>
atomic_int i; atomic_uintptr_t p;
int main(void) { atomic_store_explicit(&i, 1, memory_order_relaxed);
  atomic_store_explicit(&p, 1, memory_order_relaxed); return atomic_load(&i); }")
py_probe(HAVE_GCC_UINT128_T "int main(void) { __uint128_t x = 1; return (int)(x >> 64); }")
# x87 precision control exists only where there is an x87 unit.
py_probe(HAVE_GCC_ASM_FOR_X87 "int main(void) { unsigned short cw;
  __asm__ __volatile__ (\"fnstcw %0\" : \"=m\" (cw)); __asm__ __volatile__ (\"fldcw %0\" : : \"m\" (cw));
  return 0; }")
py_probe(HAVE_GCC_ASM_FOR_X64 "int main(void) { __asm__ __volatile__ (\"movq %rcx, %rax\"); return 0; }")

# Byte order and the format of double: dtoa.c and the float packing routines
# need to know both; the compiler says them.
if(CMAKE_C_BYTE_ORDER STREQUAL "BIG_ENDIAN")
  py_define(WORDS_BIGENDIAN 1)
endif()
py_probe(DOUBLE_IS_LITTLE_ENDIAN_IEEE754 "#if !(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && __FLOAT_WORD_ORDER__ == __ORDER_LITTLE_ENDIAN__ && __DBL_MANT_DIG__ == 53 && __GCC_IEC_559 > 0)
#error not little-endian IEEE 754 binary64
#endif
int main(void) { return 0; }")
py_probe(DOUBLE_IS_BIG_ENDIAN_IEEE754 "#if !(__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ && __FLOAT_WORD_ORDER__ == __ORDER_BIG_ENDIAN__ && __DBL_MANT_DIG__ == 53 && __GCC_IEC_559 > 0)
#error not big-endian IEEE 754 binary64
#endif
int main(void) { return 0; }")
if(NOT DOUBLE_IS_LITTLE_ENDIAN_IEEE754 AND NOT DOUBLE_IS_BIG_ENDIAN_IEEE754)
  message(FATAL_ERROR "the target's double is not IEEE 754 binary64 in its byte order")
endif()

# Not probed: decided.
set(_decided "
/* The feature macros the probes were compiled with. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#define _POSIX_C_SOURCE 200809L
#define _XOPEN_SOURCE 700
#define _XOPEN_SOURCE_EXTENDED 1
#define _DEFAULT_SOURCE 1
/* Standard C and POSIX, whatever the libc. */
#define STDC_HEADERS 1
#define HAVE_STDARG_PROTOTYPES 1
#define HAVE_PROTOTYPES 1
#define HAVE_LONG_DOUBLE 1
#define RETSIGTYPE void
#define TIME_WITH_SYS_TIME 1
#define SYS_SELECT_WITH_SYS_TIME 1
#define PY_FORMAT_SIZE_T \"z\"
/* Extension modules are shared objects loaded with dlopen. */
#define HAVE_DYNAMIC_LOADING 1
/* musl's tzset follows POSIX TZ rules (autoconf learns this by running a
 * program; the answer does not depend on the machine). */
#define HAVE_WORKING_TZSET 1
#define ENABLE_IPV6 1
/* musl gives a new thread 128 KiB of stack, which deep recursion in a thread
 * (the default limit of 1000 frames) overruns; glibc gives 8 MiB. */
#define THREAD_STACK_SIZE 0x800000
/* An interpreter as a default build makes it: docstrings kept, pymalloc,
 * the C locale coerced to UTF-8 (the debug additions follow when asked). */
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#define PY_COERCE_C_LOCALE 1
#define _PYTHONFRAMEWORK \"\"
")
# The debug variant (PY_DEBUG): as configure --with-pydebug writes it.
if(PY_DEBUG)
  string(APPEND _decided "/* The debug variant: reference totals and checks, its own object header. */
#define Py_DEBUG 1
")
endif()

set(_text "/* pyconfig.h for CPython 3.7 on ${CMAKE_SYSTEM_PROCESSOR}-linux-musl.
 * Generated by cmake/target-python/pyconfig.cmake from probes of the target's
 * C library and compiler; do not edit. */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H

/* Probed. */
${_lines}${_decided}
#endif /* Py_PYCONFIG_H */
")
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/pyconfig.h.new" "${_text}")
configure_file("${CMAKE_CURRENT_BINARY_DIR}/pyconfig.h.new" "${PY_CONFIG_DIR}/pyconfig.h" COPYONLY)
