# Release toolchain: clang 19 and lld 19 for the same i686 mingw-w64 target, against
# the mingw-w64 headers and the win32-thread libstdc++ of the gcc cross compiler:
# its C++ runtime locks with Windows primitives, where the posix-thread
# variant's winpthreads keeps an implicit thread record for the loading thread
# (a TLS index, two handles and some heap) behind at every unload of a library
# that links it. The tests' build (mingw-i686.cmake) builds the shipped
# libraries with it too.
# The C++ ABI stays the mingw one; what changes is the debug information: CodeView
# in a PDB (-g -gcodeview, -Wl,--pdb=), which Visual Studio and WinDbg read, and a
# CodeView debug directory in every binary that names its PDB; and the hardening:
# Control Flow Guard (-mguard=cf checks every indirect call, --guard-cf writes the
# table of valid targets) and stack cookies (-fstack-protector-strong).
# mingw-w64 10's runtime has neither the guard's check pointer nor a load
# configuration, so every binary this toolchain links takes them from
# hardening/LoadConfig.c (LRD_GUARD_CF, see lrd_harden in CMakeLists.txt).
include("${CMAKE_CURRENT_LIST_DIR}/mingw-i686-target.cmake")
set(CMAKE_C_COMPILER clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(LRD_GUARD_CF ON)
set(CMAKE_C_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET i686-w64-mingw32)

# clang does not recognise Debian's gcc directories ("12-posix", "12-win32") as
# versions, so the win32-thread one is named here.
file(GLOB LRD_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/i686-w64-mingw32/*-win32)
list(SORT LRD_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET LRD_GCC_DIRS 0 LRD_GCC_DIR)
set(LRD_MINGW_INCLUDES
  "-nostdlibinc -isystem ${LRD_GCC_DIR}/include/c++ -isystem ${LRD_GCC_DIR}/include/c++/i686-w64-mingw32 -isystem ${LRD_GCC_DIR}/include/c++/backward -isystem /usr/i686-w64-mingw32/include")
# Other flags come from the environment (CFLAGS, CXXFLAGS, LDFLAGS), which CMake
# puts before these; a CMAKE_C_FLAGS given on the command line would replace them.
# The compile flags reach the link too, where they go unused.
set(LRD_HARDENING "-mguard=cf -fstack-protector-strong")
set(CMAKE_C_FLAGS_INIT "${LRD_MINGW_INCLUDES} -g -gcodeview ${LRD_HARDENING} -Wno-unused-command-line-argument")
set(CMAKE_CXX_FLAGS_INIT "${LRD_MINGW_INCLUDES} -g -gcodeview ${LRD_HARDENING} -Wno-unused-command-line-argument")
# -B makes clang take gcc's crtbegin.o and crtend.o, which register the binary's
# unwind tables with the unwinder; it would otherwise take mingw-w64's empty ones,
# and an exception thrown in the binary would end the process even where a
# handler waits for it.
# --pdb= writes NAME.pdb beside each binary; /pdbaltpath makes its debug
# directory name the bare file, which the debuggers look for beside the binary
# and on their symbol paths, instead of the build's path.
# --guard-cf also marks the image CFG-aware; the stack protector's flag at the
# link makes clang add gcc's libssp, whose symbols the load configuration's
# file defines first, so that nothing of it is linked.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT
    "-fuse-ld=lld --ld-path=/usr/lib/llvm-19/bin/ld.lld -B${LRD_GCC_DIR} -L${LRD_GCC_DIR} -L/usr/i686-w64-mingw32/lib -Wl,--pdb= -Wl,--Xlink=-pdbaltpath:%_PDB% -Wl,--guard-cf")
endforeach()
