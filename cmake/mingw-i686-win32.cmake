# The shipped libraries' toolchain: mingw-w64 for i686 in its win32-thread
# variant. Its C++ runtime locks with Windows primitives; the posix-thread
# variant brings winpthreads, whose implicit thread record for the loading
# thread (a TLS index, two handles and some heap) stays behind at every unload
# of a library that links it.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686-target.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
