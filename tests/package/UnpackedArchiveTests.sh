#!/usr/bin/env bash
# The Windows release archives as a host developer gets them: unpacked into a
# fresh directory far from any build tree. Its lrdprobe.exe runs under Wine
# against a loopback lrdresponder and ranks it, with the module and the factory
# library it finds beside itself; both sample hosts build from the unpacked
# archive alone (C and C++ through the shipped CMake package, C also with the
# README's one-line mingw-w64 command) and run one detection; the MSVC import
# library links with lld-link. Then the pieces the archives promise: every binary
# with a version resource of this version and a CodeView debug directory naming
# its PDB from the debug archive, in which llvm-pdbutil finds known functions
# that an address inside symbolises back to; every binary hardened as a
# security review's analyzer reads it (a table of rules by binary); and docs
# that speak of the archive, with every doc, link and image they name in it.
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
  docs/host-integration.md docs/lrdprobe.md docs/lrdprobe-report.png docs/protocol.md docs/responder.md \
  docs/lrdprobe.1 docs/lrdresponder.8 \
  README.md LICENSE THIRD-PARTY-NOTICES.txt CHANGELOG.md; do
  [ -f "$root/$file" ] || fail "the archive lacks $file"
done
grep -qE "^## \[$version\] - [0-9]{4}-[0-9]{2}-[0-9]{2}$" "$root/CHANGELOG.md" ||
  fail "CHANGELOG.md has no dated section for $version: $(head -n 8 "$root/CHANGELOG.md" | grep '^## ')"
# The archive's docs speak of the archive, not of the repository: no path of
# the repository's and no passage that the packaging should have left out; every
# doc they name, and every file a link or an image of theirs points to, is
# there. The changelog keeps its history's paths, but its links must hold too.
docs=(README.md $(cd "$root" && ls docs/*.md))
for doc in "${docs[@]}" CHANGELOG.md; do
  if [ "$doc" != CHANGELOG.md ]; then
    ! grep -nE 'build/(bin|lib|native)|(scripts|tools|tests|detector|module|base|bench|sdk)/|<!-- /?repository -->' \
      "$root/$doc" || fail "$doc names paths or passages of the repository"
  fi
  for named in $(grep -oE 'docs/[A-Za-z-]+\.md' "$root/$doc" | sort -u); do
    [ -f "$root/$named" ] || fail "$doc names $named, which the archive lacks"
  done
  for target in $(grep -oE '\]\([^)#]+' "$root/$doc" | sed 's/^](//' | grep -vE '^[a-z]+:' | sort -u); do
    [ -f "$(dirname "$root/$doc")/$target" ] || fail "$doc links to $target, which the archive lacks"
  done
done
# The README lists every doc and image the archive ships, and the system DLLs
# that the binaries import, exactly.
readme=$(tr '\n' ' ' <"$root/README.md")
for file in $(cd "$root/docs" && ls); do
  grep -qF "\`$file\`" <<<"$readme" || fail "README.md does not list docs/$file"
done
listed=$(grep -oE 'import only system DLLs \([^)]*\)' <<<"$readme" | grep -oE '`[A-Za-z0-9_]+`' | tr -d '`' | sort)
imported=$(for binary in "$root"/bin/*; do i686-w64-mingw32-objdump -p "$binary" | sed -nE 's/^\s*DLL Name: (.*)\.dll$/\1/Ip'; done |
  sort -u)
[ -n "$listed" ] && [ "$listed" = "$imported" ] ||
  fail "README.md lists the imports $(echo $listed), the binaries import $(echo $imported)"
grep -qF "$version" "$root/README.md" || fail "README.md does not name version $version"

# Hardening, read from each shipped binary's headers and load configuration as
# BinSkim's rules read them (IDs of its rules): one line per binary, ok or the
# rule's failure.
harden() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
sections_count, optional_size, file_flags = struct.unpack_from("<H12xHH", data, pe + 6)
optional = pe + 24
image_base, = struct.unpack_from("<I", data, optional + 28)
dll_flags, = struct.unpack_from("<H", data, optional + 70)
directory = lambda i: struct.unpack_from("<II", data, optional + 96 + 8 * i)
sections = []
for i in range(sections_count):
    name, vsize, va, rawsize, raw = struct.unpack_from("<8sIIII", data, optional + optional_size + 40 * i)
    flags, = struct.unpack_from("<I", data, optional + optional_size + 40 * i + 36)
    sections.append((name.rstrip(b"\0").decode(), va, max(vsize, rawsize), raw, flags))
def section_of(rva):
    return next((s for s in sections if s[1] <= rva < s[1] + s[2]), None)
def read32(rva):
    s = section_of(rva)
    return struct.unpack_from("<I", data, s[3] + rva - s[1])[0] if s else None
WRITE, EXECUTE, SHARED = 0x80000000, 0x20000000, 0x10000000
failed = []
def rule(name, ok, why):
    if not ok:
        failed.append(f"{name} ({why})")
config_rva, config_size = directory(10)
field = lambda offset: read32(config_rva + offset) if config_rva and config_size > offset else 0
cookie, seh_table, seh_count = field(60), field(64), field(68)
check, fids, fid_count, guard = field(72), field(80), field(84), field(88)
rule("BA2008", dll_flags & 0x4000 and guard & 0x100 and guard & 0x400 and fids and fid_count > 0,
     f"GUARD_CF {bool(dll_flags & 0x4000)}, GuardFlags {guard:#x}, {fid_count} functions")
check_section = section_of(check - image_base) if check else None
rule("BA2008", check_section and not check_section[4] & WRITE, "the check function pointer is not read-only")
# A host under Control Flow Guard calls the exports through GetProcAddress's
# pointers, which the guard lets through only to entries of this table.
entry = 4 + (guard >> 28 & 0xF)
targets = {read32(fids - image_base + entry * i) for i in range(fid_count)} if fids else set()
export_rva, export_size = directory(0)
count, functions = (read32(export_rva + 20), read32(export_rva + 28)) if export_rva else (0, 0)
exports = {read32(functions + 4 * i) for i in range(count)} - {0}
rule("BA2008", exports <= targets, "exports outside the table of call targets: %s" % sorted(map(hex, exports - targets)))
rule("BA2009", dll_flags & 0x40 and directory(5)[1] and not file_flags & 1, "not DYNAMIC_BASE with relocations")
imports = section_of(directory(1)[0])
rule("BA2010", imports and not imports[4] & EXECUTE, "imports in an executable section")
rule("BA2011/2013", cookie, "no security cookie in the load configuration")
rule("BA2012", cookie and read32(cookie - image_base) == 0xBB40E64E, "the cookie is not the default value the loader replaces")
rule("BA2016", dll_flags & 0x100, "not NX_COMPAT")
rule("BA2018", dll_flags & 0x400 or (seh_table and seh_count), "neither NO_SEH nor a SafeSEH table")
rule("BA2019", not any(s[4] & WRITE and s[4] & SHARED for s in sections), "a shared writable section")
rule("BA2021", not any(s[4] & WRITE and s[4] & EXECUTE for s in sections), "a writable executable section")
print(", ".join(failed) if failed else f"ok: CFG table of {fid_count} functions, GuardFlags {guard:#x}, cookie at {cookie:#x}")
PY
}
for binary in $(cd "$root" && ls bin/*.dll bin/*.exe); do
  verdict=$(harden "$root/$binary")
  echo "hardening: $binary: $verdict"
  [ "${verdict%%:*}" = ok ] || fail "$binary: $verdict"
done

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

# Known functions of each binary in its PDB (the module's two assembly
# procedures among them), and an address inside each symbolises back to it.
# Every compiland of the PDB is clang 19's, compiled with the stack protector
# (strong) and Control Flow Guard, as its command line there says.
declare -A known=([LinkrateDetector.dll]='CLinkrateDetector::Detect LRDWindowProc LrdRouteTimerTick'
  [ZelFact.dll]='ZelFactConfigure' [lrdprobe.exe]='lrdprobe::ProbeHost::RunRound' [lrdresponder.exe]='main')
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
  cp "$debug/bin/$pdb" "$root/bin/"
  for function in ${known[$binary]}; do
    # The record's line, then "parent = 0, end = N, addr = SECTION:OFFSET, code size = N".
    place=$(grep -A1 -E "S_[GL]PROC32 .*\`$function\`" <<<"$symbols" | sed -nE 's/.*addr = ([0-9]+):([0-9]+), code size = ([0-9]+).*/\1 \2 \3/p')
    [ -n "$place" ] || { fail "$pdb: no function $function" && continue; }
    read -r section offset size <<<"$place"
    start=$(llvm-readobj-14 --sections "$root/bin/$binary" | grep -A4 "Number: $((10#$section))\$" |
      sed -nE 's/.*VirtualAddress: (0x[0-9A-F]+)/\1/p')
    inside=$(printf '0x%x' $((start + 10#$offset + size / 2)))
    symbolised=$(llvm-symbolizer-14 --no-inlines --obj="$root/bin/$binary" --relative-address "$inside" | head -n 1 |
      c++filt)
    # The name before its ABI tag and parameters.
    [ "${symbolised%%[[(]*}" = "$function" ] || fail "$binary: $inside, inside $function, symbolises as $symbolised"
  done
  rm -f "$root/bin/$pdb"
  ! grep -E '^\s+machine = .*Ver = ' <<<"$symbols" | grep -vE 'clang version 19\.|language = link' ||
    fail "$pdb: compilands of another compiler than clang 19"
  commands=$(llvm-pdbutil-14 dump -ids "$debug/bin/$pdb" | grep -E 'LF_STRING_ID .*String: "-cc1"')
  compilands=$(grep -c . <<<"$commands")
  hardened=$(grep -F '"-stack-protector" "2"' <<<"$commands" | grep -cF '"-cfguard"')
  [ "$compilands" -gt 0 ] && [ "$hardened" = "$compilands" ] ||
    fail "$pdb: $hardened of $compilands compilands with the stack protector and Control Flow Guard"
done

wineserver -w || true
finish "unpacked archive: all checks passed"
