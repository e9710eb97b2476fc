# zlib for the zlib module (and so for zip files and pip's wheels), from
# Debian's source package: the library's C files, compiled here for the
# target and linked into the interpreter. Its zconf.h needs no configuring
# for a libc with unistd.h and stdarg.h.

set(_zlib_sources adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback
    inffast inflate inftrees trees uncompr zutil)
list(TRANSFORM _zlib_sources PREPEND "${ZLIB_SOURCE}/")
list(TRANSFORM _zlib_sources APPEND ".c")
add_library(z STATIC ${_zlib_sources})
target_include_directories(z PUBLIC "${ZLIB_SOURCE}")
target_compile_definitions(z PRIVATE HAVE_UNISTD_H HAVE_STDARG_H _LARGEFILE64_SOURCE=1)
target_compile_options(z PRIVATE -w)
