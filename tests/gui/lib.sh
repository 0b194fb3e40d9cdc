# Shared by the GUI tests: the processes they start (newest stopped first),
# failure reports with the windows on screen and the logs, polling, and a
# private virtual X display. The caller sets `tmp` (its scratch folder) and
# `out` (where logs go on failure) first, and may define `on_cleanup`, which
# runs before the processes are waited for.
pids=()
cleanup() {
    local status=$?
    # Newest first: the wizard and the simulator before the X server.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
    done
    if declare -F on_cleanup >/dev/null; then on_cleanup; fi
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    if [ "$status" -ne 0 ] && [ "$out" != "$tmp" ]; then
        cp "$tmp"/*.log "$out/" 2>/dev/null || true
    fi
    [ "$out" = "$tmp" ] || rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*" >&2
    if [ -n "${DISPLAY:-}" ]; then
        echo "windows on screen:" >&2
        for id in $(xdotool search --onlyvisible --name '.' 2>/dev/null); do
            echo "  $id \"$(xdotool getwindowname "$id" 2>/dev/null)\"" >&2
        done
        command -v import >/dev/null && import -window root "$out/failure-screen.png" 2>/dev/null &&
            echo "screen: $out/failure-screen.png" >&2
    fi
    for log in "$tmp"/*.log; do
        [ -s "$log" ] && { echo "--- $(basename "$log")" >&2; tail -n 20 "$log" >&2; }
    done
    exit 1
}

# Polls `condition` (a command) every 0.1 s for at most `tenths` tenths of a
# second.
poll() { # tenths condition...
    local tenths=$1
    shift
    for ((n = 0; n < tenths; n++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# --- X display -------------------------------------------------------------
# A display number of our own, picked at random well above those that
# "Xvfb -displayfd" and "xvfb-run -a" start from, so that other X servers
# coming up on this machine at the same time do not compete for it. The server
# takes its lock file before it listens and gives up when the number is in use;
# then the next number is tried. -noreset: by default the server resets when
# its last client leaves (here the readiness probe), and refuses a client that
# connects during the reset, such as the wizard starting right after the probe.
start_xvfb() {
    local number pid
    for ((attempt = 0; attempt < 20; attempt++)); do
        number=$((200 + RANDOM % 700))
        [ -e "/tmp/.X$number-lock" ] && continue
        Xvfb ":$number" -screen 0 1024x768x24 -dpi 96 -nolisten tcp -noreset 2>"$tmp/xvfb.log" &
        pid=$!
        for ((n = 0; n < 100; n++)); do
            if ! kill -0 "$pid" 2>/dev/null; then
                break # in use after all, or broken: try another number
            fi
            if DISPLAY=":$number" xdotool getdisplaygeometry >/dev/null 2>&1; then
                pids+=("$pid")
                DISPLAY=":$number"
                export DISPLAY
                return 0
            fi
            sleep 0.1
        done
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    return 1
}

# For the Windows programs' tests: a Wine prefix of their own in `tmp`, its
# server ended with the test. Windows programs run without CAP_SYS_ADMIN, so
# that a terminal held in exclusive mode is refused to them as a port in use
# is on Windows (Wine itself lets two programs open one COM port); the Wine
# server is started the same way, by the first of them.
use_wine() {
    export WINEPREFIX=$tmp/wineprefix
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES=mscoree,mshtml=
    # shellcheck disable=SC2317 # called by cleanup
    on_cleanup() { wineserver -k 2>/dev/null || true; }
}
win() { setpriv --bounding-set -sys_admin --inh-caps -sys_admin wine "$@"; }
winpath() { echo "Z:${1//\//\\}"; } # a Unix path as Wine sees it
