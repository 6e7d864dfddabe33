#!/usr/bin/env bash
# lrdresponder built on its own, as a server operator builds it, and installed
# under a temporary prefix: the program lands in bin/, the systemd unit in
# lib/systemd/system and names that program, and systemd-analyze finds no fault
# in the unit. Usage: ResponderInstallTests.sh SOURCE_DIR (tools/lrdresponder)
set -euo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$source" -B "$work/build" >/dev/null
cmake --build "$work/build" -j2 >/dev/null
cmake --install "$work/build" --prefix "$work/prefix" >/dev/null

program="$work/prefix/bin/lrdresponder"
unit="$work/prefix/lib/systemd/system/lrdresponder.service"
"$program" --help | grep -q '^usage: lrdresponder'
grep -qxF "ExecStart=$program \$LRDRESPONDER_ARGS" "$unit" || { echo "FAIL: ExecStart of $unit"; exit 1; }
for setting in DynamicUser=yes NoNewPrivileges=yes ProtectSystem=strict Restart=on-failure \
  EnvironmentFile=-/etc/default/lrdresponder; do
  grep -qxF "$setting" "$unit" || { echo "FAIL: $unit lacks $setting"; exit 1; }
done
# Warnings about the machine (no running systemd) are not faults of the unit;
# the status is.
systemd-analyze verify "$unit"
echo "installed and verified: $program, $unit"
