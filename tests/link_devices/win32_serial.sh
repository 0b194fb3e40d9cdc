#!/bin/sh
# win32_serial.sh PROGRAM [ARGS...]
# Runs the Win32 COM port test under Wine (prefix: WINEPREFIX) against real
# lines, pseudo-terminals linked in the prefix's dosdevices:
# - COM$FW_TEST_COM (default 42) with `cat` behind it, which echoes every
#   byte; the line is hung up (socat ends) when the test creates the file
#   $FW_TEST_HANGUP, and a second later a new echo line is linked as the same
#   port (the device plugged in again);
# - COM($FW_TEST_COM + 1), held open exclusively (TIOCEXCL) by another
#   program. Wine does not keep Windows programs from opening a COM port twice;
#   the kernel refuses the exclusive terminal to anyone without CAP_SYS_ADMIN,
#   so Wine runs without it.
set -eu
for tool in socat perl setpriv; do
    command -v "$tool" >/dev/null && continue
    # CI installs every tool: a skip there would hide a test that never ran.
    [ "${CI:-}" != true ] || { echo "FAIL: $tool is not installed"; exit 1; }
    echo "SKIP: $tool is not installed"
    exit 77
done
com=${FW_TEST_COM:-42}
held=$((com + 1))
tmp=$(mktemp -d "${TMPDIR:-/tmp}/fw-win32-serial.XXXXXX")
pids=""
cleanup() {
    for pid in $pids $(cat "$tmp/replug.pid" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
    rm -f "$WINEPREFIX/dosdevices/com$com" "$WINEPREFIX/dosdevices/com$held"
    rm -rf "$tmp"
}
trap cleanup EXIT
wait_for() { # path
    n=0
    until [ -e "$1" ]; do
        n=$((n + 1))
        [ "$n" -lt 100 ] || { echo "no $1"; cat "$tmp"/*.log; exit 1; }
        sleep 0.1
    done
}
socat "pty,rawer,link=$tmp/echo" exec:cat 2>"$tmp/socat-echo.log" &
echo_pid=$!
socat "pty,rawer,link=$tmp/held" exec:cat 2>"$tmp/socat-held.log" &
pids="$pids $!"
wait_for "$tmp/echo"
wait_for "$tmp/held"
perl -e 'open(my $f, "+<", $ARGV[0]) or die "open: $!"; ioctl($f, 0x540C, 0) or die "TIOCEXCL: $!";
         open(my $r, ">", $ARGV[1]); close($r); sleep 600' "$(readlink -f "$tmp/held")" "$tmp/holding" &
pids="$pids $!"
wait_for "$tmp/holding"
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$(readlink -f "$tmp/echo")" "$WINEPREFIX/dosdevices/com$com"
ln -sfn "$(readlink -f "$tmp/held")" "$WINEPREFIX/dosdevices/com$held"
(
    until [ -e "$tmp/hangup" ]; do sleep 0.05; done
    kill "$echo_pid"
    sleep 1
    rm -f "$tmp/echo"
    socat "pty,rawer,link=$tmp/echo" exec:cat 2>"$tmp/socat-replug.log" &
    echo $! >"$tmp/replug.pid"
    wait_for "$tmp/echo"
    ln -sfn "$(readlink -f "$tmp/echo")" "$WINEPREFIX/dosdevices/com$com"
    wait
) &
pids="$pids $! $echo_pid"
# A Wine server that is already running keeps its own privileges: start afresh.
wineserver -k 2>/dev/null || true
wineserver -w
status=0
FW_TEST_COM=$com FW_TEST_HELD_COM=$held FW_TEST_HANGUP=$tmp/hangup \
    setpriv --bounding-set -sys_admin --inh-caps -sys_admin wine "$@" || status=$?
wineserver -k 2>/dev/null || true
exit $status
