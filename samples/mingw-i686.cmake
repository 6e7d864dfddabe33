# Cross-building the samples on Linux with mingw-w64 for 32-bit Windows:
#   cmake -S samples -B build -DCMAKE_TOOLCHAIN_FILE=$PWD/samples/mingw-i686.cmake -DCMAKE_PREFIX_PATH=$PWD
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
