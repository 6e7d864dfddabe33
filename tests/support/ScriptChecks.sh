# What the process tests written in shell share. Source it with `top` set to the
# repository: it brings scripts/lib/responders.sh, a work folder that goes at
# exit together with the responders started, and a count of failed checks.

source "$top/scripts/lib/responders.sh"

work=$(mktemp -d)
trap 'lrd_stop_responders; rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# finish PASSED-LINE: ends the test, failed when a check failed.
finish() {
  if [ $failures -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "$1"
}
