# The one place that says how a pelmo extension library is compiled and linked.
# setup.py drives this same CMake build, so pip and CMake cannot drift apart.
#
# The contract of every library: it needs the C library only (no libstdc++,
# libgcc_s or libpython), exports exactly PyInit_<name> and its int flag, and
# carries its own copy of the frame, compiled in rather than shared.

set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE Release CACHE STRING "" FORCE)
endif()

set(PELMO_CXX_FLAGS
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fvisibility=hidden -fvisibility-inlines-hidden
  -fno-strict-aliasing -fstack-protector-strong
  -Wall -Wextra -Wmissing-declarations -Wno-missing-field-initializers -Wno-cast-function-type)
if(PELMO_WERROR)
  list(APPEND PELMO_CXX_FLAGS -Werror)
endif()

set(PELMO_LINK_FLAGS -Wl,-z,noexecstack -Wl,-z,relro -Wl,-z,now -Wl,--as-needed)
# Anything else that links the frame's objects (a test executable) links
# the sanitizer runtimes with these.
set(PELMO_SANITIZER_LINK_FLAGS)
if(PELMO_SANITIZE)
  list(APPEND PELMO_CXX_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -fno-omit-frame-pointer -g)
  set(PELMO_SANITIZER_LINK_FLAGS -fsanitize=address,undefined)
  list(APPEND PELMO_LINK_FLAGS ${PELMO_SANITIZER_LINK_FLAGS})
else()
  # No C++ runtime: only libc, plus the static libgcc for compiler helpers.
  list(APPEND PELMO_LINK_FLAGS -nodefaultlibs)
  set(PELMO_LINK_LIBS c gcc)
endif()

# The frame, compiled once and linked into every library: each library gets
# its own copy of the code and of the frame's state.
function(pelmo_add_frame)
  file(GLOB _frame_sources CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/src/frame/*.cpp")
  add_library(pelmo_frame OBJECT ${_frame_sources})
  target_include_directories(pelmo_frame PUBLIC "${PROJECT_SOURCE_DIR}/src" "${PELMO_PYTHON_INCLUDE_DIR}")
  target_compile_options(pelmo_frame PRIVATE ${PELMO_CXX_FLAGS})
endfunction()

# pelmo_add_module(<target> SOURCE <file> DOTTED <a.b.c> DIR <output dir>)
# The dotted name is the module's only name: its short name (the last
# component), its entry point PyInit_<short name> and its exported flag
# __pyx_module_is_main_<a__b__c> follow from it, here for the linker and as
# compile definitions for the source, which names none of them itself.
function(pelmo_add_module target)
  cmake_parse_arguments(M "" "SOURCE;DOTTED;DIR" "" ${ARGN})
  string(REGEX REPLACE "^.*[.]" "" _short "${M_DOTTED}")
  string(REPLACE "." "__" _flag "${M_DOTTED}")
  set(_map "${CMAKE_CURRENT_BINARY_DIR}/${target}.map")
  file(WRITE "${_map}"
    "{\n  global:\n    PyInit_${_short};\n    __pyx_module_is_main_${_flag};\n  local:\n    *;\n};\n")
  add_library(${target} MODULE ${M_SOURCE} $<TARGET_OBJECTS:pelmo_frame>)
  target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/src" "${PELMO_PYTHON_INCLUDE_DIR}")
  target_compile_options(${target} PRIVATE ${PELMO_CXX_FLAGS})
  # Only the module's own source is compiled here; the frame comes compiled.
  target_compile_definitions(${target} PRIVATE PELMO_MODULE_NAME="${M_DOTTED}" PELMO_MODULE_SHORT=${_short}
                             PELMO_MODULE_FLAG=${_flag})
  target_link_options(${target} PRIVATE ${PELMO_LINK_FLAGS} "-Wl,--version-script=${_map}")
  target_link_libraries(${target} PRIVATE ${PELMO_LINK_LIBS})
  set_target_properties(${target} PROPERTIES
    PREFIX "" OUTPUT_NAME "${_short}" SUFFIX "${PELMO_EXT_SUFFIX}"
    LIBRARY_OUTPUT_DIRECTORY "${M_DIR}"
    LINK_DEPENDS "${_map}")
endfunction()
