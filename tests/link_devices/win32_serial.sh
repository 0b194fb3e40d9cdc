#!/bin/sh
# win32_serial.sh PROGRAM [ARGS...]
# Runs the Win32 COM port test under Wine (prefix: WINEPREFIX) against a real
# line: a pseudo-terminal with `cat` behind it, which echoes every byte, linked
# as COM$FW_TEST_COM in the prefix's dosdevices. The line is hung up (socat
# ends and closes the terminal) when the test creates the file $FW_TEST_HANGUP.
set -eu
command -v socat >/dev/null || { echo "SKIP: socat is not installed"; exit 77; }
com=${FW_TEST_COM:-42}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/fw-win32-serial.XXXXXX")
link=$WINEPREFIX/dosdevices/com$com
socat_pid=
watch_pid=
cleanup() {
    [ -z "$watch_pid" ] || kill "$watch_pid" 2>/dev/null || true
    [ -z "$socat_pid" ] || kill "$socat_pid" 2>/dev/null || true
    rm -f "$link"
    rm -rf "$tmp"
}
trap cleanup EXIT
socat "pty,rawer,link=$tmp/pty" exec:cat 2>"$tmp/socat.log" &
socat_pid=$!
n=0
until [ -e "$tmp/pty" ]; do
    n=$((n + 1))
    [ "$n" -lt 100 ] || { echo "socat made no terminal"; cat "$tmp/socat.log"; exit 1; }
    sleep 0.1
done
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$(readlink -f "$tmp/pty")" "$link"
(
    until [ -e "$tmp/hangup" ]; do sleep 0.05; done
    kill "$socat_pid"
) &
watch_pid=$!
FW_TEST_COM=$com FW_TEST_HANGUP=$tmp/hangup wine "$@"
