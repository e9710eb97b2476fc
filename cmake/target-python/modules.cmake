# The modules compiled into the interpreter, and config.c, their table.
# Built in rather than loaded from lib-dynload: one program to copy and run,
# nothing to find at run time.
#
# Besides those every interpreter needs (the first group, which Setup.dist
# builds in), the ones the test suite uses (_testcapi, _ctypes, the process
# and data modules) and the ones pip needs to install a wheel offline
# (hashing, zip, csv and XML reading, sockets for its imports). Left out: those that
# need a library this build does not have (ssl, hashlib's OpenSSL part, bz2,
# lzma, sqlite3, readline, curses, tkinter, dbm, the C decimal);
# the standard library falls back to pure Python where it can.

set(M "${CPYTHON_SOURCE}/Modules")
set(PY_MODULE_SOURCES "")
set(PY_MODULE_NAMES "")

# py_builtin(<module name> <sources relative to Modules/>...)
macro(py_builtin name)
  list(APPEND PY_MODULE_NAMES ${name})
  foreach(_src ${ARGN})
    list(APPEND PY_MODULE_SOURCES "${M}/${_src}")
  endforeach()
endmacro()

# Needed by every interpreter (the interpreter's start-up imports them).
py_builtin(posix posixmodule.c)
py_builtin(errno errnomodule.c)
py_builtin(pwd pwdmodule.c)
py_builtin(_sre _sre.c)
py_builtin(_codecs _codecsmodule.c)
py_builtin(_weakref _weakref.c)
py_builtin(_functools _functoolsmodule.c)
py_builtin(_operator _operator.c)
py_builtin(_collections _collectionsmodule.c)
py_builtin(_abc _abc.c)
py_builtin(itertools itertoolsmodule.c)
py_builtin(atexit atexitmodule.c)
py_builtin(_signal signalmodule.c)
py_builtin(_stat _stat.c)
py_builtin(time timemodule.c)
py_builtin(_thread _threadmodule.c)
py_builtin(_locale _localemodule.c)
py_builtin(_io _io/_iomodule.c _io/iobase.c _io/fileio.c _io/bytesio.c _io/bufferedio.c
           _io/textio.c _io/stringio.c)
py_builtin(zipimport zipimport.c)
py_builtin(faulthandler faulthandler.c)
py_builtin(_tracemalloc _tracemalloc.c hashtable.c)
py_builtin(_symtable symtablemodule.c)

# Data and algorithms.
py_builtin(_struct _struct.c)
py_builtin(_json _json.c)
py_builtin(_pickle _pickle.c)
py_builtin(math mathmodule.c _math.c)
py_builtin(cmath cmathmodule.c)
py_builtin(_random _randommodule.c)
py_builtin(_bisect _bisectmodule.c)
py_builtin(_heapq _heapqmodule.c)
py_builtin(_queue _queuemodule.c)
py_builtin(_contextvars _contextvarsmodule.c)
py_builtin(_asyncio _asynciomodule.c)
py_builtin(array arraymodule.c)
py_builtin(_datetime _datetimemodule.c)
py_builtin(_csv _csv.c)
py_builtin(unicodedata unicodedata.c)
py_builtin(_opcode _opcode.c)
py_builtin(parser parsermodule.c)
py_builtin(_lsprof _lsprof.c rotatingtree.c)
py_builtin(binascii binascii.c)
py_builtin(zlib zlibmodule.c)
py_builtin(pyexpat pyexpat.c)
py_builtin(_elementtree _elementtree.c)

# Hashing without OpenSSL: hashlib uses these.
py_builtin(_md5 md5module.c)
py_builtin(_sha1 sha1module.c)
py_builtin(_sha256 sha256module.c)
py_builtin(_sha512 sha512module.c)
py_builtin(_sha3 _sha3/sha3module.c)
py_builtin(_blake2 _blake2/blake2module.c _blake2/blake2b_impl.c _blake2/blake2s_impl.c)

# The operating system.
py_builtin(_posixsubprocess _posixsubprocess.c)
py_builtin(select selectmodule.c)
py_builtin(_socket socketmodule.c)
py_builtin(fcntl fcntlmodule.c)
py_builtin(grp grpmodule.c)
py_builtin(termios termios.c)
py_builtin(resource resource.c)
py_builtin(mmap mmapmodule.c)
py_builtin(syslog syslogmodule.c)

# Foreign calls, and the C API test module the suite's allocation-failure
# checks drive.
py_builtin(_ctypes _ctypes/_ctypes.c _ctypes/callbacks.c _ctypes/callproc.c
           _ctypes/stgdict.c _ctypes/cfield.c)
py_builtin(_testcapi _testcapimodule.c)

add_library(pymodules OBJECT ${PY_MODULE_SOURCES})
target_include_directories(pymodules PRIVATE "${PY_CONFIG_DIR}" "${CPYTHON_SOURCE}/Include"
                           "${M}/_io")
target_compile_options(pymodules PRIVATE ${PY_CFLAGS})
target_link_libraries(pymodules PRIVATE ffi z expat)
# The built-in modules that reach into the interpreter's internals; the
# others use only the C API, and _testcapi must (it tests that API).
foreach(_src posixmodule.c _functoolsmodule.c signalmodule.c timemodule.c _threadmodule.c
             _io/_iomodule.c _io/iobase.c _io/fileio.c _io/bytesio.c _io/bufferedio.c
             _io/textio.c _io/stringio.c zipimport.c)
  set_property(SOURCE "${M}/${_src}" APPEND PROPERTY COMPILE_DEFINITIONS Py_BUILD_CORE)
endforeach()
# The zlib built here has inflateCopy and deflateCopy (autoconf asks -lz).
set_property(SOURCE "${M}/zlibmodule.c" APPEND PROPERTY COMPILE_DEFINITIONS HAVE_ZLIB_COPY=1)

# config.c: the table of built-in modules, from the release's template.
file(READ "${M}/config.c.in" _config)
set(_decls "")
set(_entries "")
foreach(_name ${PY_MODULE_NAMES})
  string(APPEND _decls "extern PyObject* PyInit_${_name}(void);\n")
  string(APPEND _entries "    {\"${_name}\", PyInit_${_name}},\n")
endforeach()
string(REPLACE "/* -- ADDMODULE MARKER 1 -- */" "${_decls}" _config "${_config}")
string(REPLACE "/* -- ADDMODULE MARKER 2 -- */" "${_entries}" _config "${_config}")
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/config.c.new" "${_config}")
configure_file("${CMAKE_CURRENT_BINARY_DIR}/config.c.new" "${CMAKE_CURRENT_BINARY_DIR}/config.c" COPYONLY)
