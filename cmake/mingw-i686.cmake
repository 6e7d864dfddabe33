# Cross toolchain: 32-bit Windows binaries from mingw-w64 (posix threads, so that
# std::mutex exists for GoogleTest), run under Wine by ctest. The shipped
# libraries are built apart by the release toolchain (LRD_LIBRARY_TOOLCHAIN),
# so that the tests load what the archive ships: clang 19's build against the
# win32-thread runtime, with Control Flow Guard and stack cookies.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686-target.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(LRD_LIBRARY_TOOLCHAIN ${CMAKE_CURRENT_LIST_DIR}/clang-mingw-i686.cmake)
