# find_package(LinkrateDetector) for an unpacked LinkrateDetector archive, which
# this file finds by its own place in it (lib/cmake/LinkrateDetector/). Imported
# targets:
#   LinkrateDetector::Headers  include/: LinkrateDetector.h, ZelFact.h, ZelFactInterfaces.h
#   LinkrateDetector::ZelFact  the shipped factory library bin/ZelFact.dll, with its
#                              import library (MSVC: lib/ZelFact.lib, else
#                              lib/libZelFact.dll.a) and the headers
#   LinkrateDetector::Module   bin/LinkrateDetector.dll with its import library, for
#                              $<TARGET_FILE:...> (copying it beside a host); hosts
#                              load it with LoadLibraryA
# All binaries are 32-bit Windows: configure for Win32 (-A Win32, or an i686
# mingw-w64 toolchain).
get_filename_component(_lrd_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows" OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(LinkrateDetector_FOUND FALSE)
  set(LinkrateDetector_NOT_FOUND_MESSAGE
    "LinkrateDetector is 32-bit Windows only: configure for Win32 (-A Win32) or with an i686 mingw-w64 toolchain")
  return()
endif()

if(MSVC)
  set(_lrd_implib_pattern "${_lrd_prefix}/lib/@NAME@.lib")
else()
  set(_lrd_implib_pattern "${_lrd_prefix}/lib/lib@NAME@.dll.a")
endif()

if(NOT TARGET LinkrateDetector::Headers)
  add_library(LinkrateDetector::Headers INTERFACE IMPORTED)
  set_target_properties(LinkrateDetector::Headers PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_lrd_prefix}/include")

  foreach(_lrd_pair "ZelFact;ZelFact" "Module;LinkrateDetector")
    list(GET _lrd_pair 0 _lrd_target)
    list(GET _lrd_pair 1 _lrd_name)
    string(REPLACE "@NAME@" "${_lrd_name}" _lrd_implib "${_lrd_implib_pattern}")
    add_library(LinkrateDetector::${_lrd_target} SHARED IMPORTED)
    set_target_properties(LinkrateDetector::${_lrd_target} PROPERTIES
      IMPORTED_LOCATION "${_lrd_prefix}/bin/${_lrd_name}.dll"
      IMPORTED_IMPLIB "${_lrd_implib}"
      INTERFACE_LINK_LIBRARIES LinkrateDetector::Headers)
  endforeach()
endif()

set(LinkrateDetector_INCLUDE_DIRS "${_lrd_prefix}/include")
unset(_lrd_prefix)
unset(_lrd_implib_pattern)
unset(_lrd_implib)
unset(_lrd_pair)
unset(_lrd_target)
unset(_lrd_name)
