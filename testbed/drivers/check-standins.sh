#!/bin/bash
# Checks the stand-in drivers that install-standins.sh set up in PREFIX:
#   check-standins.sh PREFIX DIR
# DIR holds the built drivers and probe.exe. Leaves both request records empty.
set -uo pipefail
prefix=${1:?usage: check-standins.sh PREFIX DIR}
dir=$(cd "${2:?usage: check-standins.sh PREFIX DIR}" && pwd)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

out=$(mktemp)
trap 'rm -f "$out"' EXIT
failures=0
winpath() { local p=${1//\//\\}; echo "Z:$p"; }

# expect "WHAT" "EXPECTED OUTPUT" probe arguments...
# Wine programs write to a file, never to a pipe this script waits on.
expect() {
  local what=$1 expected=$2
  shift 2
  wine "$dir/probe.exe" "$@" </dev/null >"$out" 2>&1
  local got
  got=$(tr -d '\r' <"$out")
  if [ "$got" == "$expected" ]; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    echo "  expected: ${expected//$'\n'/ | }"
    echo "  got:      ${got//$'\n'/ | }"
    failures=$((failures + 1))
  fi
}

drivers='C:\windows\system32\drivers'

expect "reset Veltrane record" "" reset Veltrane
expect "reset RsvLock record" "" reset RsvLock
expect "VELTRANE request" "ioctl ok 0" veltrane
expect "RSVLOCK request" "ioctl ok 0" rsvlock 0x12345678
expect "RSVLOCK second request" "ioctl ok 0" rsvlock 1
expect "Veltrane record" "0x0009C040 2 0000" record Veltrane
expect "RsvLock record" $'0x002220CC 4 78563412\n0x002220CC 4 01000000' record RsvLock
expect "reset Veltrane record" "" reset Veltrane
expect "reset RsvLock record" "" reset RsvLock
expect "Veltrane record empty" "" record Veltrane

expect "version 2.0.9.0" "2.0.9.0 0x00020000 0x00090000" \
  version "$(winpath "$dir/standin_veltrane_v2090.sys")"
expect "version 2.1.0.5" "2.1.0.5 0x00020001 0x00000005" \
  version "$(winpath "$dir/standin_veltrane_v2105.sys")"
expect "version 32768.0.0.1" "32768.0.0.1 0x80000000 0x00000001" \
  version "$(winpath "$dir/standin_veltrane_v8000.sys")"
# ERROR_RESOURCE_DATA_NOT_FOUND
expect "no version" "none 1812" \
  version "$(winpath "$dir/standin_veltrane_noversion.sys")"

# The image of a running driver cannot be replaced; VELTRANE.SYS, loaded by
# nothing, can. ERROR_SHARING_VIOLATION = 32.
expect "replace running image" "error 32" \
  copy "$(winpath "$dir/standin_veltrane_v2090.sys")" "$drivers\\vtstandin.sys"
expect "save VELTRANE.SYS" "copied" copy "$drivers\\VELTRANE.SYS" "$drivers\\VELTRANE.SYS.check"
expect "replace VELTRANE.SYS" "copied" \
  copy "$(winpath "$dir/standin_veltrane_v2090.sys")" "$drivers\\VELTRANE.SYS"
expect "replaced VELTRANE.SYS version" "2.0.9.0 0x00020000 0x00090000" \
  version "$drivers\\VELTRANE.SYS"
expect "restore VELTRANE.SYS" "copied" copy "$drivers\\VELTRANE.SYS.check" "$drivers\\VELTRANE.SYS"
rm -f "$prefix/drive_c/windows/system32/drivers/VELTRANE.SYS.check"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all stand-in checks passed"
