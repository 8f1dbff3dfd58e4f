#!/bin/bash
# Checks the stand-in services under Wine's service manager, and the manager's
# own answers that the tests rely on:
#   check-services.sh PREFIX DIR
# DIR holds the built services and svcctl.exe. Installs them with
# install-services.sh and leaves neither service registered.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=${1:?usage: check-services.sh PREFIX DIR}
dir=$(cd "${2:?usage: check-services.sh PREFIX DIR}" && pwd)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

"$here/install-services.sh" "$prefix" "$dir" >/dev/null || exit 1

out=$(mktemp)
trap 'rm -f "$out"' EXIT
failures=0

# expect "WHAT" "EXPECTED OUTPUT" svcctl arguments...
# expect_re "WHAT" "REGULAR EXPRESSION" svcctl arguments... (whole output)
# Wine programs write to a file, never to a pipe this script waits on.
expect() { check == "$@"; }
expect_re() { check =~ "$@"; }
check() {
  local how=$1 what=$2 expected=$3
  shift 3
  wine "$dir/svcctl.exe" "$@" </dev/null >"$out" 2>&1
  local got matched=false
  got=$(tr -d '\r' <"$out")
  if [ "$how" == "==" ]; then
    [ "$got" == "$expected" ] && matched=true
  else
    [[ $got =~ ^$expected$ ]] && matched=true
  fi
  if $matched; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    echo "  expected: ${expected//$'\n'/ | }"
    echo "  got:      ${got//$'\n'/ | }"
    failures=$((failures + 1))
  fi
}

L=VeltraneConfigurationManager

expect "legacy service registered" $'type 0x10\nstart 3\nerror 1\nimage "C:\\Program Files\\Veltrane\\VtConfigManager.exe"\ngroup []\ntag 0\ndependencies []\naccount LocalSystem\ndisplay VeltraneConfigurationManager' \
  config $L
expect "starts from the quoted path" $'RUNNING\nRUNNING' start $L + query $L
# Without a linger the status ControlService returns may be either state.
expect_re "stops at once" $'accepted (STOP_PENDING|STOPPED)\nSTOPPED' stop $L + wait $L STOPPED 3000
expect "stop on a stopped service" "error 1062" stop $L
expect "one stop recorded" "stop" controls $L

# The lingers outlast the commands between the stop and the look at it even
# on a machine as loaded as an emulated one (seen there: 400 ms was not).
expect "lingers in STOP_PENDING" $'RUNNING\naccepted STOP_PENDING\nSTOP_PENDING\nerror 1061\nSTOPPED\nstop' \
  clear $L + set $L LingerMs 4000 + start $L + stop $L + query $L + stop $L + wait $L STOPPED 15000 + controls $L

# The handler's refusal code is dropped by Wine: ControlService succeeds and
# the service stays RUNNING. The next stop makes the manager end the process,
# yet it goes on reporting RUNNING, with no process (kill: 1062), until the
# service is started again.
expect "handler refuses a stop" $'RUNNING\naccepted RUNNING\nRUNNING\nstop refused' \
  clear $L + set $L RefuseStops 1 + start $L + stop $L + query $L + controls $L
expect "next stop ends the process" $'error 1061\nRUNNING\nerror 1062\nstop refused' \
  stop $L + sleep 200 + query $L + kill $L + controls $L

# Not accepting stops: the manager refuses every stop; the service sees none.
expect "stops not accepted" $'RUNNING\nerror 1052\nerror 1052\nRUNNING' \
  clear $L + set $L AcceptStop 0 + start $L + stop $L + stop $L + query $L
expect "nothing recorded" "" controls $L
expect "remove ends a service that refuses" $'killed\nremoved\nerror 1060' remove $L + query $L

# Deleting a running service: it stays until its process ends and the last
# handle to it is closed (the linger lets `wait` open one in time).
"$here/install-services.sh" "$prefix" "$dir" >/dev/null || exit 1
expect "delete while running" $'RUNNING\ndeleted\nRUNNING\nerror 1072\naccepted STOP_PENDING\nSTOPPED' \
  set $L LingerMs 4000 + start $L + delete $L + query $L + create $L x.exe + stop $L + wait $L STOPPED 15000
expect "gone once stopped" "error 1060" query $L

expect "client manager absent" "absent" remove VeltraneClientManager

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all service checks passed"
