#!/usr/bin/env bash
# The real flashwright program, driven from outside like a user would drive it:
# on a private virtual X display, xdotool presses keys and clicks through the
# four pages while analyser-sim plays the analyser on a pseudo-terminal that it
# registered as COM7. The run has to deliver the firmware image unchanged, and
# the settings file has to hold what was chosen on the pages.
#
#   wizard_flash.sh FLASHWRIGHT ANALYSER_SIM [OUTPUT_DIR]
#
# OUTPUT_DIR (default: the temporary directory, removed at the end) receives
# the screenshot of the finished progress page and, on failure, the logs.
# Exits 77 (skipped) when Xvfb, xdotool or srecord are not installed.
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: $0 FLASHWRIGHT ANALYSER_SIM [OUTPUT_DIR]" >&2
    exit 2
fi
flashwright=$1
analyser_sim=$2
for tool in Xvfb xdotool srec_cat srec_cmp; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done

com=7
tmp=$(mktemp -d "${TMPDIR:-/tmp}/fw-gui.XXXXXX")
out=${3:-$tmp}
mkdir -p "$out"
# shellcheck source=tests/gui/lib.sh
source "$(dirname "$0")/lib.sh"
start_xvfb || fail "Xvfb did not start"
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
export XDG_RUNTIME_DIR=$tmp/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"

# --- Firmware, settings, simulated analyser ---------------------------------
# The file name has a blank, quotes and a backslash, which the settings file
# has to escape and the upload has to open as they are.
mkdir -p "$tmp/fw dir"
firmware="$tmp/fw dir/image \"v2\" \\ 1.sx"
srec_cat -generate 0x10000 0x10800 -random -o "$firmware" -Motorola -address-length=3 ||
    fail "srec_cat could not make the firmware image"
grep -q '^S2' "$firmware" || fail "the firmware image has no S2 records"

export XDG_CONFIG_HOME=$tmp/config
export XDG_STATE_HOME=$tmp/state
registry=$XDG_CONFIG_HOME/Tarnvel/Flashwright.reg
runs=$XDG_STATE_HOME/Tarnvel/Flashwright/runs.jsonl
mkdir -p "$(dirname "$registry")"
# A user who last used the network type: choosing "Serial Port" on the
# connection page is then what makes "Connction Type" COM. No port and no file
# are stored; both must come from the pages.
cat >"$registry" <<'EOF'
REGEDIT4

[HKEY_LOCAL_MACHINE\SOFTWARE\Tarnvel\Flashwright\Settings]
"Connction Type"="TCP"
EOF

received=$tmp/received.srec
"$analyser_sim" --registry "$registry" --com "$com" --bootloader-version 1.2 --baud 115200 \
    --out "$received" --exit-after-run >"$tmp/sim-stdout.log" 2>"$tmp/sim.log" &
sim=$!
pids+=("$sim")
poll 100 grep -qs "port COM$com\$" "$tmp/sim-stdout.log" || fail "analyser-sim did not register COM$com"

# --- Window helpers ---------------------------------------------------------
# Page windows are titled "Flashwright" and are about 316 x 307 pixels at 96
# dpi; message boxes with the same title have other sizes.
pages() {
    # shellcheck disable=SC2034 # getwindowgeometry --shell sets all of them
    local id WIDTH HEIGHT X Y SCREEN WINDOW
    for id in $(xdotool search --onlyvisible --name '^Flashwright$' 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$id" 2>/dev/null)" || continue
        if ((WIDTH >= 290 && WIDTH <= 340 && HEIGHT >= 280 && HEIGHT <= 340)); then
            echo "$id"
        fi
    done
}
# The one page on screen other than `old` (empty: any page).
new_page() { # old
    local id
    for id in $(pages); do
        [ "$id" != "${1:-}" ] && { echo "$id"; return 0; }
    done
    return 1
}
# The port search's message boxes ("Comm port search", "Comm Port Search").
port_boxes() {
    xdotool search --onlyvisible --name '^Comm [Pp]ort [Ss]earch$' 2>/dev/null
}
# Waits for a page other than `old` while dismissing the port search's
# messages, which come up while the connection page loads when this machine
# has no COM1. Prints the page's window.
wait_page() { # old
    local id box
    for ((n = 0; n < 150; n++)); do
        for box in $(port_boxes); do
            echo "dismissing \"$(xdotool getwindowname "$box")\"" >&2
            xdotool windowfocus --sync "$box" key Return
        done
        kill -0 "$wizard" 2>/dev/null || fail "flashwright exited"
        if id=$(new_page "${1:-}") && [ -z "$(port_boxes)" ]; then
            # The previous page closes right after the next one is shown.
            [ -z "${1:-}" ] || poll 50 bash -c "! xdotool search --onlyvisible --name '^Flashwright\$' | grep -qx '$1'" ||
                fail "page $1 stayed on screen"
            echo "$id"
            return 0
        fi
        sleep 0.1
    done
    fail "no new wizard page on screen"
}
# A choice on the connection page may search the ports again, and the search
# shows its messages at once when it does: give them a moment to come up.
dismiss_port_boxes() {
    local box
    for ((n = 0; n < 10; n++)); do
        for box in $(port_boxes); do
            echo "dismissing \"$(xdotool getwindowname "$box")\"" >&2
            xdotool windowfocus --sync "$box" key Return
            n=0
        done
        sleep 0.1
    done
}
# Clicks the point `x`,`y` twips inside page window `id` (the layouts are
# drawn in twips; 15 twips to a pixel at 96 dpi).
click_twips() { # id x y
    xdotool mousemove --window "$1" $(($2 / 15)) $(($3 / 15)) click 1
}
next() { click_twips "$1" 4027 4387; } # btnNext: 3360, 4200, 1335 x 375

# The settings file must hold `line` exactly (the pages save on Next).
expect_setting() { # line
    grep -Fxq -- "$1" "$registry" || {
        echo "--- $registry" >&2
        cat "$registry" >&2
        fail "the settings file lacks $1"
    }
}

# --- Connection page --------------------------------------------------------
"$flashwright" >"$tmp/wizard.log" 2>&1 &
wizard=$!
pids+=("$wizard")
page=$(wait_page "")
xdotool windowfocus --sync "$page"
# The connection type list has the keyboard; "s" picks "Serial Port".
xdotool key --delay 50 s
dismiss_port_boxes
# Tab past the address box and the converter box (both behind the serial
# frame) to the port list, and pick the simulator's port by typing its name.
xdotool key --delay 50 Tab Tab Tab
xdotool type --delay 30 "COM$com"
next "$page"

# --- Firmware page ----------------------------------------------------------
page=$(wait_page "$page")
expect_setting '"Connction Type"="COM"'
expect_setting "\"COM Port\"=\"$com\""
click_twips "$page" 2347 877 # txtFullFileName: 360, 720, 3975 x 315 in the page
xdotool key ctrl+a
xdotool type --delay 10 "$firmware"
next "$page"

# --- Operations page: the default operations --------------------------------
page=$(wait_page "$page")
# Blanks, quotes and backslashes as the registry-export format escapes them.
escaped=${firmware//\\/\\\\}
escaped=${escaped//\"/\\\"}
expect_setting "\"Filename\"=\"$escaped\""
next "$page"

# --- Progress page ----------------------------------------------------------
page=$(wait_page "$page")
# 2 KiB at 115200 baud takes a few seconds; a run that stalls never writes the
# image, and one that fails says so in a message box.
run_over() {
    local id
    for id in $(xdotool search --onlyvisible --name '.' 2>/dev/null); do
        [ "$id" = "$page" ] || fail "message box \"$(xdotool getwindowname "$id")\" during the run"
    done
    test -e "$received"
}
poll 900 run_over || fail "no image received within 90 s"
# With --exit-after-run the simulator ends once its last reply is out.
poll 100 bash -c "! kill -0 $sim 2>/dev/null" || fail "analyser-sim did not finish"
wait "$sim" || fail "analyser-sim failed"
kill -0 "$wizard" 2>/dev/null || fail "flashwright exited during the run"

# (srec_cmp warns that the file has no start address record; neither needs one.)
srec_cmp "$firmware" "$received" 2>"$tmp/srec_cmp.log" ||
    fail "the received image differs from the firmware file"
echo "received image equals the firmware file; settings: Connction Type COM, COM Port $com, Filename $firmware"

# The run is on record, naming the file that went by its digest.
poll 50 test -s "$runs" || fail "no run record in $runs"
digest=$(sha256sum <"$firmware" | cut -c1-64)
if command -v jq >/dev/null; then
    jq -e --arg d "$digest" --arg f "$firmware" --argjson com "$com" \
        '.result == "success" and .firmware.sha256 == $d and .firmware.path == $f
         and .connection.port == $com and .rows["Run Firmware"] == "OK"' "$runs" >/dev/null ||
        fail "the run record does not say what was loaded: $(cat "$runs")"
else
    grep -q "\"sha256\":\"$digest\"" "$runs" || fail "the run record lacks the digest"
fi
echo "run record: $(cat "$runs")"

# --- Screenshot of the finished page ----------------------------------------
if command -v import >/dev/null; then
    # The last status rows are set in the same tick that sends the final
    # command; give the page its repaint.
    sleep 0.5
    eval "$(xdotool getwindowgeometry --shell "$page")"
    shot=$out/progress-finished.png
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shot"
    # Every row either "OK" (green) or "SKIPPED" (black); nothing in red.
    # The text is anti-aliased: pixels near the colour count.
    count() { # colour
        convert "$shot" -fuzz 15% -fill black +opaque "$1" -fill white -opaque "$1" \
            -format '%[fx:round(mean*w*h)]' info:
    }
    green=$(count 'rgb(0,128,0)')
    red=$(count 'rgb(255,0,0)')
    echo "screenshot: $shot ($green green, $red red pixels)"
    ((green > 0)) || fail "the progress page shows no OK"
    ((red == 0)) || fail "the progress page shows FAILED"
else
    echo "note: ImageMagick's import is not installed; no screenshot taken"
fi

# --- Stopped by a signal mid-upload -----------------------------------------
# Against a slow analyser, each of the stop signals part way through the upload
# ends the program as the close box would, with 128 + the signal's number: the
# run is on record as abandoned. (Killed outright, the program would leave no
# record at all.) The first goes to this wizard after Previous and Next; the
# others each to a new wizard that starts from the stored choices.
runs_before=1
first=yes
for sig in TERM HUP INT QUIT; do
    sim_log=$tmp/sim-$sig.log
    "$analyser_sim" --registry "$registry" --com "$com" --version 1.2 --baud 4800 --verbose \
        >"$tmp/sim-$sig-stdout.log" 2>"$sim_log" &
    sim=$!
    pids+=("$sim")
    poll 100 grep -qs "port COM$com\$" "$tmp/sim-$sig-stdout.log" ||
        fail "the analyser-sim for SIG$sig did not register COM$com"
    if [ "$first" = yes ]; then
        click_twips "$page" 4027 4387 # btnPrevious, where the other pages have Next
        page=$(wait_page "$page")
        first=no
    else
        "$flashwright" >"$tmp/wizard-$sig.log" 2>&1 &
        wizard=$!
        pids+=("$wizard")
        page=$(wait_page "")
        for ((p = 0; p < 2; p++)); do # connection and firmware pages, as stored
            next "$page"
            page=$(wait_page "$page")
        done
    fi
    next "$page"
    page=$(wait_page "$page")
    poll 300 grep -qs "record 3 " "$sim_log" || fail "the upload before SIG$sig did not start"
    kill -s "$sig" "$wizard"
    # Ended (a zombie until reaped) within 5 s.
    ended() { local state; state=$(ps -o stat= -p "$wizard") || return 0; [[ $state == Z* ]]; }
    poll 50 ended || fail "flashwright did not end on SIG$sig"
    status=0
    wait "$wizard" || status=$?
    expected=$((128 + $(kill -l "$sig")))
    ((status == expected)) || fail "flashwright exited with $status on SIG$sig, not $expected"
    last=$(tail -n 1 "$runs")
    ((runs_before += 1))
    if command -v jq >/dev/null; then
        [ "$(wc -l <"$runs")" -eq "$runs_before" ] && jq -e '.result == "abandoned"
            and .records_passed > 0 and .records_passed < .firmware.records' <<<"$last" >/dev/null ||
            fail "no abandoned run on record after SIG$sig: $(cat "$runs")"
    else
        [ "$(wc -l <"$runs")" -eq "$runs_before" ] && grep -q '"result":"abandoned"' <<<"$last" ||
            fail "no abandoned run on record after SIG$sig"
    fi
    echo "SIG$sig mid-upload: exit $status, run record: $last"
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
done
echo "PASS"
