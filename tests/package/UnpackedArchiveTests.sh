#!/usr/bin/env bash
# The Windows release archives as a host developer gets them: unpacked into a
# fresh directory far from any build tree. Its lrdprobe.exe runs under Wine
# against a loopback lrdresponder and ranks it, with the module and the factory
# library it finds beside itself; both sample hosts build from the unpacked
# archive alone (C and C++ through the shipped CMake package, C also with the
# README's one-line mingw-w64 command) and run one detection; the MSVC import
# library links with lld-link. Then the pieces the archives promise: every binary
# with a version resource of this version and a CodeView debug directory naming
# its PDB from the debug archive, in which llvm-pdbutil finds a known function.
# Usage: UnpackedArchiveTests.sh ARCHIVE LRDRESPONDER VERSION
#   (the debug archive is found beside ARCHIVE)
set -uo pipefail
archive=$1
responder=$2
version=$3
debug_archive=${archive%.zip}-debug.zip
top=$(cd "$(dirname "$0")/../.." && pwd)
source "$top/tests/support/ScriptChecks.sh"
# The project's own prefix, where hidden windows work without a display, unless
# the caller names one.
export WINEPREFIX=${WINEPREFIX:-$top/build/wineprefix} WINEDEBUG=${WINEDEBUG:--all}

unzip_to() { python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$1" "$2"; }
unzip_to "$archive" "$work/unpacked"
unzip_to "$debug_archive" "$work/unpacked-debug"
# extractall keeps no modes; Wine does not need them.
root="$work/unpacked/$(basename "$archive" .zip)"
debug="$work/unpacked-debug/$(basename "$debug_archive" .zip)"
for file in bin/LinkrateDetector.dll bin/ZelFact.dll bin/lrdprobe.exe bin/lrdresponder.exe \
  include/LinkrateDetector.h include/ZelFact.h include/ZelFactInterfaces.h \
  lib/libZelFact.dll.a lib/ZelFact.lib lib/ZelFact.def \
  lib/libLinkrateDetector.dll.a lib/LinkrateDetector.lib lib/LinkrateDetector.def \
  lib/cmake/LinkrateDetector/LinkrateDetectorConfig.cmake lib/cmake/LinkrateDetector/LinkrateDetectorConfigVersion.cmake \
  samples/c_host.c samples/cpp_host.cpp samples/CMakeLists.txt samples/mingw-i686.cmake \
  docs/host-integration.md docs/protocol.md docs/responder.md README.md LICENSE THIRD-PARTY-NOTICES.txt CHANGELOG.md; do
  [ -f "$root/$file" ] || fail "the archive lacks $file"
done
grep -qE "^## \[$version\] - [0-9]{4}-[0-9]{2}-[0-9]{2}$" "$root/CHANGELOG.md" ||
  fail "CHANGELOG.md has no dated section for $version: $(head -n 8 "$root/CHANGELOG.md" | grep '^## ')"
# The archive's README and guide speak of the archive, not of the repository:
# no path of the repository's, and every doc they name is there.
for doc in README.md docs/host-integration.md; do
  ! grep -nE 'build/(bin|lib|native)|(scripts|tools|tests|detector|module|base|bench|sdk)/' "$root/$doc" ||
    fail "$doc names paths of the repository"
  for named in $(grep -oE 'docs/[A-Za-z-]+\.md' "$root/$doc" | sort -u); do
    [ -f "$root/$named" ] || fail "$doc names $named, which the archive lacks"
  done
done
grep -qF "$version" "$root/README.md" || fail "README.md does not name version $version"

lrd_start_servers "$responder" "$work" $((20000 + RANDOM % 30000)) "127.0.0.2 0 5" || exit 1
server=127.0.0.2:$LRD_PORT
wine "$root/bin/lrdprobe.exe" -q -t 2000 --format csv "$server" >"$work/probe.out" 2>"$work/probe.err"
status=$?
[ $status = 0 ] || fail "lrdprobe from the archive: status $status; $(head -c 400 "$work/probe.err")"
sed -i 's/\r$//' "$work/probe.out"
grep -q "^1,127\.0\.0\.2,$LRD_PORT,true,[0-9]*,[0-9.]*,[0-9]*,5,[0-9]*,1,1,0.0,,[0-9.]*,1,false,[0-9]*,1\.0000,false,,false$" "$work/probe.out" || fail "lrdprobe did not rank $server: $(cat "$work/probe.out")"

# Without the module beside it, it names the place it looked: its own directory.
mv "$root/bin/LinkrateDetector.dll" "$work/"
wine "$root/bin/lrdprobe.exe" -q -t 500 "$server" >/dev/null 2>"$work/missing.err"
status=$?
[ $status = 4 ] || fail "lrdprobe without its module: status $status, expected 4"
grep -qi 'cannot load the module .*unpacked.*bin.LinkrateDetector\.dll' "$work/missing.err" ||
  fail "lrdprobe without its module: $(cat "$work/missing.err")"
mv "$work/LinkrateDetector.dll" "$root/bin/"

# sample HOST_EXE: one detection of the server, which the host ranks first.
sample() {
  local host=$1 name
  name=$(basename "$host")
  wine "$host" --log "$work/$name.log" "$server" >"$work/$name.out" 2>&1
  local status=$?
  sed -i 's/\r$//' "$work/$name.out"
  [ $status = 0 ] || fail "$name: status $status; $(head -c 400 "$work/$name.out")"
  grep -qE "^1\. 127\.0\.0\.2:$LRD_PORT  [0-9]+ ms  load 5$" "$work/$name.out" || fail "$name did not rank $server: $(cat "$work/$name.out")"
}
# The samples' CMake project with the shipped package, as the README says, from
# inside the unpacked archive.
(cd "$root" && cmake -S samples -B "$work/samples" -DCMAKE_TOOLCHAIN_FILE="$PWD/samples/mingw-i686.cmake" \
  -DCMAKE_PREFIX_PATH="$PWD" >"$work/samples-configure.log" 2>&1 &&
  cmake --build "$work/samples" -j2 >"$work/samples-build.log" 2>&1) ||
  fail "the samples do not build with the shipped CMake package: $(tail -n 20 "$work"/samples-*.log)"
for host in c_host cpp_host; do
  if [ -f "$work/samples/$host.exe" ]; then sample "$work/samples/$host.exe"; else fail "no $host.exe"; fi
done
# The README's one-line command for mingw-w64, into bin/.
(cd "$root" && i686-w64-mingw32-gcc -Iinclude samples/c_host.c -Llib -lZelFact -o bin/c_host.exe) ||
  fail "the one-line mingw-w64 command does not build c_host"
[ -f "$root/bin/c_host.exe" ] && sample "$root/bin/c_host.exe"

# The MSVC import library: a program for the MSVC ABI, without any runtime
# library, that calls ZelFactConfigure through lib/ZelFact.lib and exits with
# its result.
cat >"$work/msvc.c" <<'EOF'
#include "ZelFact.h"
int __stdcall start(void) { return ZelFactConfigure(0, 0, 0) == 1 ? 0 : 3; }
EOF
if clang-14 --target=i686-pc-windows-msvc -ffreestanding -I"$root/include" -c "$work/msvc.c" -o "$work/msvc.obj" &&
  lld-link-14 /nologo /nodefaultlib /entry:start /subsystem:console "$work/msvc.obj" "$root/lib/ZelFact.lib" \
    /out:"$root/bin/msvc_abi.exe"; then
  wine "$root/bin/msvc_abi.exe"
  status=$?
  [ $status = 0 ] || fail "the MSVC-ABI program linked with lib/ZelFact.lib: status $status"
else
  fail "lib/ZelFact.lib does not link with lld-link"
fi

# A known function of each binary in its PDB.
declare -A known=([LinkrateDetector.dll]='CLinkrateDetector::Detect' [ZelFact.dll]='ZelFactConfigure'
  [lrdprobe.exe]='lrdprobe::ProbeHost::RunRound' [lrdresponder.exe]='main')
for binary in LinkrateDetector.dll ZelFact.dll lrdprobe.exe lrdresponder.exe; do
  resources=$(strings -el "$root/bin/$binary")
  for value in "$version" LinkrateDetector; do
    grep -qxF "$value" <<<"$resources" || fail "$binary: no '$value' in its version resource"
  done
  # Outputs are read whole before grep: with pipefail, a grep -q that stops
  # early fails the pipeline.
  sections=$(i686-w64-mingw32-objdump -h "$root/bin/$binary")
  ! grep -q '\.debug_' <<<"$sections" || fail "$binary carries DWARF sections"
  # Hardening: relocatable, no executable data; the libraries declare that no
  # structured exception handler is in them. The C++ runtime's start file that
  # registers the unwind tables (it names the runtime DLL it would prefer) is
  # linked in: without it an exception thrown inside the binary ends the
  # process, handler or not.
  headers=$(llvm-readobj-14 --file-headers "$root/bin/$binary")
  for flag in DYNAMIC_BASE NX_COMPAT; do
    grep -q "IMAGE_DLL_CHARACTERISTICS_$flag" <<<"$headers" || fail "$binary lacks $flag"
  done
  if [ "${binary##*.}" = dll ]; then
    grep -q IMAGE_DLL_CHARACTERISTICS_NO_SEH <<<"$headers" || fail "$binary lacks NO_SEH"
  fi
  narrow=$(strings "$root/bin/$binary")
  grep -qx 'libgcc_s_dw2-1.dll' <<<"$narrow" || fail "$binary does not register its unwind tables"
  pdb=${binary%.*}.pdb
  directory=$(llvm-readobj-14 --coff-debug-directory "$root/bin/$binary")
  grep -qE "PDBFileName: $pdb\$" <<<"$directory" || fail "$binary: its debug directory does not name $pdb"
  [ -f "$debug/bin/$pdb" ] || { fail "the debug archive lacks bin/$pdb" && continue; }
  # The binary's GUID, 16 bytes in the debug directory, is the PDB's: the same
  # bytes, its first three fields little-endian.
  read -ra b <<<"$(sed -nE 's/.*PDBGUID: \((.*)\)/\1/p' <<<"$directory")"
  guid="${b[3]:-}${b[2]:-}${b[1]:-}${b[0]:-}${b[5]:-}${b[4]:-}${b[7]:-}${b[6]:-}$(IFS= && echo "${b[*]:8}")"
  pdb_guid=$(llvm-pdbutil-14 dump -summary "$debug/bin/$pdb" | sed -nE 's/.*GUID: \{(.*)\}/\1/p' | tr -d '-')
  [ ${#guid} = 32 ] && [ "$guid" = "$pdb_guid" ] || fail "$binary: GUID $guid, its PDB's $pdb_guid"
  symbols=$(llvm-pdbutil-14 dump -symbols "$debug/bin/$pdb")
  grep -qE "S_[GL]PROC32 .*\`${known[$binary]}\`" <<<"$symbols" || fail "$pdb: no function ${known[$binary]}"
done

wineserver -w || true
finish "unpacked archive: all checks passed"
