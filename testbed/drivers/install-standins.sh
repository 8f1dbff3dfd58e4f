#!/bin/bash
# Installs and starts the stand-in kernel drivers in a prepared Wine prefix:
#   install-standins.sh PREFIX DIR [MAIN_COPY]
# DIR holds the built standin_*.sys files. Afterwards:
#   service Veltrane  kernel driver, drivers\vtstandin.sys  (standin_veltrane.sys)
#                     running, \\.\VELTRANE opens
#   service RsvLock   kernel driver, drivers\rsvlock.sys    (standin_rsvlock.sys)
#                     running, \\.\RSVLOCK opens
#   drivers\VELTRANE.SYS  a copy of DIR/MAIN_COPY (default standin_veltrane.sys),
#                     loaded by nothing, so tests may replace it
# Both services start with an empty request record. Runs again safely: any
# earlier stand-in services are stopped and made anew. The drivers stay up only
# while the prefix's Wine server does: after a server restart, run this again.
set -euo pipefail
prefix=${1:?usage: install-standins.sh PREFIX DIR [MAIN_COPY]}
dir=${2:?usage: install-standins.sh PREFIX DIR [MAIN_COPY]}
main_copy=${3:-standin_veltrane.sys}

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
drivers=$prefix/drive_c/windows/system32/drivers
[ -d "$drivers" ] || { echo "install-standins: $prefix is not a prepared prefix" >&2; exit 1; }
for f in standin_veltrane.sys standin_rsvlock.sys "$main_copy"; do
  [ -f "$dir/$f" ] || { echo "install-standins: missing $dir/$f" >&2; exit 1; }
done

# The drivers live in winedevice.exe, which Wine shuts down with the server
# once no program is left running, unless the server is persistent. A prepared
# prefix already has a persistent server; start one if none runs at all.
wineserver -p </dev/null >/dev/null 2>&1 || true

# Wine programs must not hold this script's output open: the Wine services
# they start outlive them. Their output goes to a file instead.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
quiet() { wine "$@" </dev/null >"$log" 2>&1; }
# A service that a 32-bit program creates in a 64-bit prefix is marked as a
# WoW64 one, and its driver would go to the 32-bit driver host: there the
# drivers are created by the 64-bit loader's own sc.exe.
native() { wine "$@"; }
if [ -d "$prefix/drive_c/windows/syswow64" ]; then native() { /usr/lib/wine/wine64 "$@"; }; fi

# A file is replaced by a new one rather than overwritten in place: a driver
# still mapped by winedevice.exe keeps its old file.
place() {
  cp "$1" "$2.new"
  mv -f "$2.new" "$2"
}

# Service name, image file name, built file.
standins=(
  "Veltrane vtstandin.sys standin_veltrane.sys"
  "RsvLock rsvlock.sys standin_rsvlock.sys"
)

for entry in "${standins[@]}"; do
  read -r name _ _ <<<"$entry"
  if quiet sc query "$name"; then
    quiet sc stop "$name" || true
    quiet sc delete "$name" || { echo "install-standins: cannot delete service $name" >&2; exit 1; }
  fi
done

for entry in "${standins[@]}"; do
  read -r name image built <<<"$entry"
  place "$dir/$built" "$drivers/$image"
  native sc create "$name" type= kernel start= demand error= normal \
    binPath= "\\SystemRoot\\System32\\drivers\\$image" </dev/null >"$log" 2>&1 ||
    { echo "install-standins: cannot create service $name" >&2; exit 1; }
  # sc start returns once the driver's DriverEntry has returned, that is once
  # its device and link exist.
  if ! quiet sc start "$name" || ! grep -q 'RUNNING' "$log"; then
    echo "install-standins: service $name did not start:" >&2
    cat "$log" >&2
    exit 1
  fi
done

place "$dir/$main_copy" "$drivers/VELTRANE.SYS"
echo "stand-in drivers running in $prefix"
