#!/bin/bash
# Places the stand-in services in a prepared Wine prefix and registers the
# legacy one:
#   install-services.sh PREFIX DIR [INSTALLDIR]
# DIR holds the built VtClientManager.exe, VtConfigManager.exe and svcctl.exe.
# INSTALLDIR is a Windows path on drive C: (default C:\Program Files\Veltrane).
# Afterwards:
#   INSTALLDIR\VtClientManager.exe   for the DLL to register as
#                                    VeltraneClientManager; not registered
#   INSTALLDIR\VtConfigManager.exe   registered as VeltraneConfigurationManager:
#                                    own process, demand start, error normal,
#                                    quoted image path; stopped, no Parameters
# Runs again safely, and so serves as the reset between tests: both services
# are first stopped (or their processes ended) and deleted, which also drops
# their Parameters and control records.
set -euo pipefail
usage='usage: install-services.sh PREFIX DIR [INSTALLDIR]'
prefix=${1:?$usage}
dir=$(cd "${2:?$usage}" && pwd)
installdir=${3:-'C:\Program Files\Veltrane'}

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -d "$prefix/drive_c/windows" ] || { echo "install-services: $prefix is not a prepared prefix" >&2; exit 1; }
for f in VtClientManager.exe VtConfigManager.exe svcctl.exe; do
  [ -f "$dir/$f" ] || { echo "install-services: missing $dir/$f" >&2; exit 1; }
done
case $installdir in
  [Cc]:\\*) target=$prefix/drive_c/${installdir:3} ;;
  *) echo "install-services: INSTALLDIR must be on drive C:" >&2; exit 1 ;;
esac
target=${target//\\//}

# A running service keeps the service manager up only while the prefix's Wine
# server runs: keep one server for the prefix (a prepared prefix has one).
wineserver -p </dev/null >/dev/null 2>&1 || true

# Wine programs must not hold this script's output open: the services they
# start outlive them. Their output goes to a file instead.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
svcctl() {
  if ! wine "$dir/svcctl.exe" "$@" </dev/null >"$log" 2>&1; then
    echo "install-services: svcctl $* failed:" >&2
    tr -d '\r' <"$log" >&2
    exit 1
  fi
}

svcctl remove VeltraneClientManager + remove VeltraneConfigurationManager

# A new file replaces the old one rather than overwriting it in place.
mkdir -p "$target"
for f in VtClientManager.exe VtConfigManager.exe; do
  cp "$dir/$f" "$target/$f.new"
  mv -f "$target/$f.new" "$target/$f"
done

svcctl create VeltraneConfigurationManager "\"$installdir\\VtConfigManager.exe\"" demand
echo "stand-in services installed in $installdir"
