# expat for the pyexpat module (xml.parsers.expat, which pip's imports reach
# through xmlrpc), from Debian's source package. Its expat_config.h is
# written from the probes already made for pyconfig.h: getrandom gives the
# hash salt, as in a configured build.

set(_expat "${EXPAT_SOURCE}/expat")
if(NOT EXISTS "${_expat}/lib/xmlparse.c")
  set(_expat "${EXPAT_SOURCE}")
endif()
set(_expat_gen "${CMAKE_CURRENT_BINARY_DIR}/expat")
if(WORDS_BIGENDIAN)
  set(_byteorder 4321)
else()
  set(_byteorder 1234)
endif()
set(_cfg "/* expat_config.h for ${CMAKE_SYSTEM_PROCESSOR}-linux-musl, written by expat.cmake. */
#define BYTEORDER ${_byteorder}
#define XML_NS 1
#define XML_DTD 1
#define XML_CONTEXT_BYTES 1024
#define XML_DEV_URANDOM 1
#define HAVE_STDINT_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_MEMMOVE 1
#define STDC_HEADERS 1
")
foreach(_var HAVE_GETRANDOM HAVE_FCNTL_H HAVE_UNISTD_H HAVE_SYS_TYPES_H HAVE_SYS_STAT_H)
  if(${_var})
    string(APPEND _cfg "#define ${_var} 1\n")
  endif()
endforeach()
file(WRITE "${_expat_gen}/expat_config.h.new" "${_cfg}")
configure_file("${_expat_gen}/expat_config.h.new" "${_expat_gen}/expat_config.h" COPYONLY)

add_library(expat STATIC "${_expat}/lib/xmlparse.c" "${_expat}/lib/xmlrole.c" "${_expat}/lib/xmltok.c")
target_include_directories(expat PUBLIC "${_expat}/lib" PRIVATE "${_expat_gen}")
target_compile_definitions(expat PRIVATE HAVE_EXPAT_CONFIG_H _GNU_SOURCE)
target_compile_options(expat PRIVATE -w)
