#!/usr/bin/env bash
# lrdresponder built on its own, as a server operator builds it, and installed
# under a temporary prefix: the program lands in bin/, its manual page in
# share/man/man8, the systemd units in
# lib/systemd/system and name that program, systemd-analyze finds no fault in
# either unit (the template as one of its instances), and rates their exposure
# at 2.0 or below; both tell systemd when they are ready and keep it alive, and
# keep their runtime directory (the metrics file) after a stop.
# Usage: ResponderInstallTests.sh SOURCE_DIR (tools/lrdresponder)
set -euo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$source" -B "$work/build" >/dev/null
cmake --build "$work/build" -j2 >/dev/null
cmake --install "$work/build" --prefix "$work/prefix" >/dev/null

program="$work/prefix/bin/lrdresponder"
units="$work/prefix/lib/systemd/system"
"$program" --help | grep -q '^usage: lrdresponder'
"$program" --version | grep -qx 'lrdresponder [0-9]*\.[0-9]*\.[0-9]*'
"$program" --check -V | grep -qx 'lrdresponder [0-9]*\.[0-9]*\.[0-9]*'
# Its manual page renders without a warning.
warnings=$(man --warnings -l "$work/prefix/share/man/man8/lrdresponder.8" 2>&1 >/dev/null)
[ -z "$warnings" ] || { echo "FAIL: lrdresponder.8: $warnings"; exit 1; }
# An instance of the template, as systemd would load it.
cp "$units/lrdresponder@.service" "$work/lrdresponder@127.0.0.2.service"
for unit in "$units/lrdresponder.service" "$work/lrdresponder@127.0.0.2.service"; do
  grep -qE "^ExecStart=$program (--bind %i )?\\\$LRDRESPONDER_ARGS\$" "$unit" || { echo "FAIL: ExecStart of $unit"; exit 1; }
  for setting in DynamicUser=yes NoNewPrivileges=yes ProtectSystem=strict Restart=on-failure \
    EnvironmentFile=-/etc/default/lrdresponder LimitNOFILE=65536 Wants=network-online.target \
    After=network-online.target Type=notify WatchdogSec=30 RuntimeDirectoryPreserve=yes; do
    grep -qxF "$setting" "$unit" || { echo "FAIL: $unit lacks $setting"; exit 1; }
  done
  # Warnings about the machine (no running systemd) are not faults of the unit;
  # the status is.
  systemd-analyze verify "$unit"
  exposure=$(systemd-analyze security --offline=yes "$unit" | sed -nE 's/.*Overall exposure level for .*: ([0-9.]+) .*/\1/p')
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' ||
    { echo "FAIL: exposure of $unit is '$exposure', above 2.0"; exit 1; }
  echo "verified: $unit, exposure $exposure"
done
echo "installed: $program"
