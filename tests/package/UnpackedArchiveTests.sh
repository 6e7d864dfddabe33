#!/usr/bin/env bash
# The Windows release archive as a host developer gets it: unpacked into a fresh
# directory far from any build tree, its lrdprobe.exe runs under Wine against a
# loopback lrdresponder and ranks it, with the module and the factory library it
# finds beside itself. Then the pieces the archive promises: every binary with a
# version resource of this version, the module stripped with a debug link.
# Usage: UnpackedArchiveTests.sh ARCHIVE LRDRESPONDER VERSION
set -uo pipefail
archive=$1
responder=$2
version=$3
top=$(cd "$(dirname "$0")/../.." && pwd)
source "$top/scripts/lib/responders.sh"

work=$(mktemp -d)
trap 'lrd_stop_responders; rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$archive" "$work/unpacked"
# extractall keeps no modes; Wine does not need them.
root="$work/unpacked/$(basename "$archive" .zip)"
for file in bin/LinkrateDetector.dll bin/ZelFact.dll bin/lrdprobe.exe bin/lrdresponder.exe \
  include/LinkrateDetector.h docs/protocol.md docs/responder.md README.md LICENSE CHANGELOG.md; do
  [ -f "$root/$file" ] || fail "the archive lacks $file"
done
grep -q "^## \[$version\]" "$root/CHANGELOG.md" || fail "CHANGELOG.md has no section for $version"

lrd_start_servers "$responder" "$work" $((20000 + RANDOM % 30000)) "127.0.0.2 0 5" || exit 1
server=127.0.0.2:$LRD_PORT
wine "$root/bin/lrdprobe.exe" -q -t 2000 --format csv "$server" >"$work/probe.out" 2>"$work/probe.err"
status=$?
[ $status = 0 ] || fail "lrdprobe from the archive: status $status; $(head -c 400 "$work/probe.err")"
sed -i 's/\r$//' "$work/probe.out"
grep -q "^1,127\.0\.0\.2,$LRD_PORT,true,[0-9]*,[0-9.]*,[0-9]*,5,[0-9]*,1,1,0.0,,[0-9.]*$" "$work/probe.out" || fail "lrdprobe did not rank $server: $(cat "$work/probe.out")"

# Without the module beside it, it names the place it looked: its own directory.
mv "$root/bin/LinkrateDetector.dll" "$work/"
wine "$root/bin/lrdprobe.exe" -q -t 500 "$server" >/dev/null 2>"$work/missing.err"
status=$?
[ $status = 2 ] || fail "lrdprobe without its module: status $status, expected 2"
grep -qi 'cannot load the module .*unpacked.*bin.LinkrateDetector\.dll' "$work/missing.err" ||
  fail "lrdprobe without its module: $(cat "$work/missing.err")"
mv "$work/LinkrateDetector.dll" "$root/bin/"

for binary in LinkrateDetector.dll ZelFact.dll lrdprobe.exe lrdresponder.exe; do
  resources=$(strings -el "$root/bin/$binary")
  for value in "$version" LinkrateDetector; do
    grep -qxF "$value" <<<"$resources" || fail "$binary: no '$value' in its version resource"
  done
  sections=$(i686-w64-mingw32-objdump -h "$root/bin/$binary")
  grep -q '\.gnu_debuglink' <<<"$sections" || fail "$binary has no debug link"
  ! grep -q '\.debug_info' <<<"$sections" || fail "$binary still carries its debugging information"
done

wineserver -w || true
[ $failures = 0 ] && echo "unpacked archive: all checks passed"
exit $((failures > 0))
