# What the setup-program checks share: two freshly prepared, identical
# machines, one for the setup program and one for vtpi, and the comparison
# of their reports. Sourced by a check after it has set:
#   root       the project's folder
#   build      the build folder (stand-ins, vtpi.exe, the machines)
#   work       the check's own scratch folder
#   setup      the setup program's machine (a Wine prefix to make)
#   reference  vtpi's machine
#   standins64 the x86-64 stand-in drivers for 64-bit machines, or empty

# Wine takes its arguments and gives vtpi's UTF-8 output in this locale.
export LC_ALL=C.UTF-8

status=0
pass() { echo "ok: $*"; }
fail() { echo "FAILED: $*"; status=1; }
# expect_status WHAT EXPECTED ACTUAL
expect_status() {
  if [ "$3" -eq "$2" ]; then pass "$1: exit code $3"; else fail "$1: exit code $3, expected $2"; fi
}

# The machines go when the check ends: where they live in memory (the test
# VM), the runs after this one need the room.
remove_machines() {
  for prefix in "$setup" "$reference"; do
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
  done
}

# client_files DIR DLL [both]: the client's files as a setup author's build
# has them, what the install folder must hold before the DLL is called. The
# DLL refuses a driver of another machine type than the native one, so
# veltrane.sys is the machine's own: the x86-64 driver on a 64-bit machine
# ($standins64 set), the i386 one elsewhere. With "both", the layout the
# Windows Installer example takes, which installs the machine's own itself:
# veltrane.sys the i386 driver and x64/veltrane.sys the x86-64 one.
client_files() {
  mkdir -p "$1/Locale"
  cp "$2" "$1/VtPostInstall.dll"
  cp "$build/standins/VtClientManager.exe" "$1/"
  if [ "${3:-}" = both ]; then
    mkdir -p "$1/x64"
    cp "$build/standins/standin_veltrane_v2105.sys" "$1/veltrane.sys"
    cp "$build/standins64/standin_veltrane_v2105.sys" "$1/x64/veltrane.sys"
  else
    cp "${standins64:-$build/standins}/standin_veltrane_v2105.sys" "$1/veltrane.sys"
  fi
  printf '[LanguageIdMap]\r\n0409.Keyboard=0409\r\n0409.Language=0409\r\n' >"$1/Locale/Locale.ini"
}

# One after the other: two Wine prefixes booting at once in the test VM can
# run short of memory. The logs trace each step of the preparation. Each
# machine gets vtpi in C:\vtpi and an empty C:\setup.
prepare_machines() {
  trap remove_machines EXIT
  for prefix in "$setup" "$reference"; do
    local log=$work/prepare-${prefix##*/}.log
    if ! bash -x "$root/testbed/prepare-machine" "$prefix" "$build/standins" $standins64 >"$log" 2>&1; then
      tail -n 30 "$log"
      df -h "$build/machines" || true
      free -m || true
      echo "FAILED: preparing $prefix"
      exit 1
    fi
    mkdir -p "$prefix/drive_c/vtpi" "$prefix/drive_c/setup"
    cp "$build/bin/vtpi.exe" "$build/bin/VtPostInstall.dll" "$prefix/drive_c/vtpi/"
  done
}

# on PREFIX PROGRAM [ARGS...]: runs a Windows program on that machine.
on() {
  local prefix=$1
  shift
  WINEPREFIX=$prefix "$root/tools/wine-run" "$@" </dev/null
}
report() { on "$1" 'C:\vtpi\vtpi.exe' report "$2" 2>/dev/null | tr -d '\r'; }
# vtpi_exit PREFIX ARGS...: runs vtpi there and prints its exit code.
vtpi_exit() {
  local prefix=$1 code=0
  shift
  on "$prefix" 'C:\vtpi\vtpi.exe' "$@" >/dev/null 2>&1 || code=$?
  echo "$code"
}
# The machine's own file for a C:\ path.
host_path() {
  local path=${2#C:\\}
  echo "$1/drive_c/${path//\\//}"
}

# compare WHAT DIR: both machines' reports must be equal.
compare() {
  report "$setup" "$2" >"$work/report-setup.txt"
  report "$reference" "$2" >"$work/report-reference.txt"
  if [ -s "$work/report-setup.txt" ] && cmp -s "$work/report-setup.txt" "$work/report-reference.txt"; then
    pass "$1: the machines' reports are equal"
  else
    fail "$1: the machines' reports differ (< vtpi, > setup program)"
    diff "$work/report-reference.txt" "$work/report-setup.txt" || true
  fi
}
