# The native configuration (tests/native) in build/native. Source this file: it
# only defines a function.

# lrd_configure_native TOP [CMAKE-ARGS...]: configures TOP/build/native. The
# compilers are named on the command line, so that a build directory made
# earlier with another compiler is emptied and made again with clang 14.
lrd_configure_native() {
  local top=$1
  shift
  cmake -S "$top/tests/native" -B "$top/build/native" \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 "$@" >/dev/null
}
