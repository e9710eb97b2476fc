# The installed tree, laid out as a configure build installs itself, so that
# the interpreter finds its library from where it runs:
#   bin/python3.7       the launcher (sys.executable, launcher.c), bin/python3 links to it
#   libexec/python3.7   the program
#   lib/python3.7/      the standard library, byte-compiled, with lib-dynload
#                       (empty: the modules are built in; its presence tells
#                       the interpreter where its exec prefix is)
#   include/python3.7m/ the headers with this pyconfig.h; lib/libpython3.7m.a
#                       (3.7dm in the debug variant)

set(_lib "${CMAKE_INSTALL_PREFIX}/lib/python${PY_VERSION}")
set(_program "${CMAKE_INSTALL_PREFIX}/libexec/python${PY_VERSION}")
set(_launcher "${CMAKE_INSTALL_PREFIX}/bin/python${PY_VERSION}")

# The launcher is built for the build machine against its musl (see
# launcher.c for why), with the paths it starts compiled in.
find_program(PY_HOST_MUSL_CC musl-gcc REQUIRED)
set(_launch_defs "-DLAUNCHER=\"${_launcher}\"" "-DPROGRAM=\"${_program}\"")
if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  find_program(PY_QEMU qemu-${CMAKE_SYSTEM_PROCESSOR} REQUIRED)
  list(APPEND _launch_defs "-DEMULATOR=\"${PY_QEMU}\"")
endif()
add_custom_command(OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/python-launcher"
  COMMAND "${PY_HOST_MUSL_CC}" -O2 -Wall -Wextra -Werror ${_launch_defs}
          -o "${CMAKE_CURRENT_BINARY_DIR}/python-launcher" "${CMAKE_CURRENT_SOURCE_DIR}/launcher.c"
  DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/launcher.c" VERBATIM)
add_custom_target(python_launcher ALL DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/python-launcher")

install(PROGRAMS "${CMAKE_CURRENT_BINARY_DIR}/python-launcher" DESTINATION bin RENAME python${PY_VERSION})
install(CODE "file(CREATE_LINK python${PY_VERSION} \"\$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/python3\" SYMBOLIC)")
install(TARGETS python RUNTIME DESTINATION libexec)
install(TARGETS libpython ARCHIVE DESTINATION lib)
install(DIRECTORY "${CPYTHON_SOURCE}/Include/" DESTINATION include/python${PY_LDVERSION})
install(FILES "${PY_CONFIG_DIR}/pyconfig.h" DESTINATION include/python${PY_LDVERSION})

# The standard library without its tests and the GUI parts (no Tk here).
install(DIRECTORY "${CPYTHON_SOURCE}/Lib/" DESTINATION lib/python${PY_VERSION}
        PATTERN "__pycache__" EXCLUDE
        REGEX "/Lib/(test|idlelib|tkinter|turtledemo)$" EXCLUDE
        REGEX "/Lib/[^/]+/(tests?)$" EXCLUDE)
install(DIRECTORY DESTINATION lib/python${PY_VERSION}/lib-dynload)

# The sysconfig data: the Makefile's variables that tools ask for, and every
# number pyconfig.h defines (as sysconfig itself parses that file).
set(_vars
  "ABIFLAGS=${PY_ABIFLAGS}" "SOABI=${PY_SOABI}" "EXT_SUFFIX=.${PY_SOABI}.so" "SHLIB_SUFFIX=.so"
  "MULTIARCH=${PY_MULTIARCH}" "MACHDEP=linux" "HOST_GNU_TYPE=${PY_TRIPLE}"
  "VERSION=${PY_VERSION}" "prefix=${CMAKE_INSTALL_PREFIX}" "exec_prefix=${CMAKE_INSTALL_PREFIX}"
  "BINDIR=${CMAKE_INSTALL_PREFIX}/bin" "LIBDIR=${CMAKE_INSTALL_PREFIX}/lib"
  "LIBDEST=${_lib}" "BINLIBDEST=${_lib}" "LIBPL=${CMAKE_INSTALL_PREFIX}/lib"
  "INCLUDEPY=${CMAKE_INSTALL_PREFIX}/include/python${PY_LDVERSION}"
  "LIBRARY=libpython${PY_LDVERSION}.a" "LDLIBRARY=libpython${PY_LDVERSION}.a"
  "CC=${CMAKE_C_COMPILER} ${CMAKE_C_FLAGS}" "CFLAGS=${CMAKE_C_FLAGS_RELEASE}"
  "CCSHARED=-fPIC" "LDSHARED=${CMAKE_C_COMPILER} -shared" "LDFLAGS=" "OPT=${CMAKE_C_FLAGS_RELEASE}"
  "AR=${CMAKE_AR}" "ARFLAGS=rcs" "Py_ENABLE_SHARED=0")
set(PY_SYSCONFIG_VARS "")
foreach(_v ${_vars})
  string(FIND "${_v}" "=" _eq)
  string(SUBSTRING "${_v}" 0 ${_eq} _name)
  math(EXPR _eq "${_eq} + 1")
  string(SUBSTRING "${_v}" ${_eq} -1 _value)
  if(_value MATCHES "^[0-9]+$")
    string(APPEND PY_SYSCONFIG_VARS "    '${_name}': ${_value},\n")
  else()
    string(APPEND PY_SYSCONFIG_VARS "    '${_name}': '${_value}',\n")
  endif()
endforeach()
file(STRINGS "${PY_CONFIG_DIR}/pyconfig.h" _defines REGEX "^#define [A-Za-z0-9_]+ [0-9]+$")
foreach(_d ${_defines})
  string(REGEX REPLACE "^#define ([A-Za-z0-9_]+) ([0-9]+)$" "    '\\1': \\2,\n" _d "${_d}")
  string(APPEND PY_SYSCONFIG_VARS "${_d}")
endforeach()
set(_sysconfig "_sysconfigdata_${PY_ABIFLAGS}_linux_${PY_MULTIARCH}.py")
configure_file(sysconfigdata.py.in "${CMAKE_CURRENT_BINARY_DIR}/${_sysconfig}" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/${_sysconfig}" DESTINATION lib/python${PY_VERSION})

# Byte-compiled by the build machine's 3.7 (all 3.7 releases share the
# format): an emulated interpreter would take minutes for it, and without
# it every start compiles the modules it imports again.
if(HOST_PYTHON)
  install(CODE "execute_process(COMMAND \"${HOST_PYTHON}\" -m compileall -q -j2
                \"\$ENV{DESTDIR}${_lib}\" OUTPUT_QUIET)")
endif()
