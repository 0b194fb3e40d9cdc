#!/usr/bin/env bash
# The Windows wizard under Wine, driven from outside like a user would drive
# it: in a throw-away Wine prefix on a private virtual X display, xdotool
# presses the keys of the four pages while analyser-sim plays the analyser on a
# pseudo-terminal that Wine makes COM7 (HKLM\Software\Wine\Ports, which Wine
# reads when its server starts and lists under SERIALCOMM). The settings are
# preset in Wine's registry as a 32-bit installation keeps them (`reg add
# /reg:32`, the 32-bit view), with firmware files in folders whose names are
# not ASCII. Four runs:
#   1. a full flash of 64 KiB from "Prüfstand Säule" at 38400 baud: "OK", the
#      image received unchanged, the run on record, and the upload's time
#      against the wire's bound (at least 0.9 of the line's speed);
#   2. a refused firmware file: the run fails and nothing reaches the analyser;
#   3. a lost link (the simulator killed mid-upload) from "Prüfstand Ω
#      firmware": the run fails, its message box and its record say "The
#      connection to the analyser was lost.";
#   4. the port search lists COM7 "(In Use)" while another program holds it,
#      and a run on it fails saying so;
#   7. (after the converter's) a bench of two COM ports chosen before in the
#      bench's checklist: both flashed at once, both images whole, one record
#      each with the bench's id and the port's name.
# Every message box is waited for by its window, its text read and checked,
# and answered; after each run the progress page's rows, as the screen shows
# them, have to be the rows of its run record.
#
#   wizard_flash_wine.sh --probe PROBE_DIR [--setup SETUP.EXE]
#                        [--converter FAKE_D2XX.DLL]
#                        PROGRAM_DIR ANALYSER_SIM [OUTPUT_DIR]
#
# What the wizard's windows say is read through Qt's accessibility interfaces:
# PROBE_DIR is the build folder of tests/a11y_probe, whose generic/ plugin
# each wizard loads (QT_PLUGIN_PATH, QT_QPA_GENERIC_PLUGINS) and which writes
# the accessible tree of its windows to a file. No outside client can read it
# under Wine 8.0: its UI Automation reaches a page's window but not its
# children (stepping to the first child deadlocks the wizard), values are not
# implemented, and MSAA is not served.
#
# With --converter the fake converter library (tests/support/fake_d2xx, built
# for Windows) is put beside the program as TVD2XX.DLL, its one device "USB
# Serial Converter" forwarding to COM7, and two more runs go through it: 5. a
# full flash, the image received byte for byte; 6. the converter unplugged
# (the simulator killed) mid-upload: the run fails as the lost link does.
#
# PROGRAM_DIR holds flashwright.exe with its DLLs and plugins. With --setup the
# setup program installs it silently instead, the runs use the installed
# program, and the uninstaller has to leave nothing in Program Files, no
# uninstall entry and no Start-menu entry, and keep the settings.
# OUTPUT_DIR (default: a temporary folder) receives the screenshots and, on
# failure, the logs. Exits 77 (skipped) when a tool is missing, and fails
# instead under CI (CI=true), where every tool is installed.
set -euo pipefail

setup=
converter=
probe=
while [ "${1:-}" = --setup ] || [ "${1:-}" = --converter ] || [ "${1:-}" = --probe ]; do
    case $1 in
    --setup) setup=$(readlink -f "$2") ;;
    --converter) converter=$(readlink -f "$2") ;;
    --probe) probe=$(readlink -f "$2") ;;
    esac
    shift 2
done
if [ $# -lt 2 ] || [ -z "$probe" ]; then
    echo "usage: $0 --probe PROBE_DIR [--setup SETUP.EXE] [--converter FAKE_D2XX.DLL] PROGRAM_DIR ANALYSER_SIM [OUTPUT_DIR]" >&2
    exit 2
fi
[ -n "$(find "$probe/generic" -maxdepth 1 -iname '*.dll' 2>/dev/null)" ] ||
    { echo "no probe plugin (generic/*.dll) in $probe" >&2; exit 2; }
program_dir=$(readlink -f "$1")
analyser_sim=$(readlink -f "$2")
for tool in wine wineserver Xvfb xdotool srec_cat srec_cmp jq perl setpriv import convert socat; do
    if ! command -v "$tool" >/dev/null; then
        [ "${CI:-}" != true ] || { echo "FAIL: $tool is not installed (CI installs every tool)"; exit 1; }
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done
# Wine takes file names and arguments in the Unix locale's encoding.
export LC_ALL=C.UTF-8

com=7
tmp=$(mktemp -d "${TMPDIR:-/tmp}/fw-wine-gui.XXXXXX")
out=${3:-$tmp}
mkdir -p "$out"
out=$(readlink -f "$out")
# shellcheck source=tests/gui/lib.sh
source "$(dirname "$0")/lib.sh"
use_wine

start_xvfb || fail "Xvfb did not start"

# --- Wine prefix and the program -------------------------------------------
start=$SECONDS
win wineboot --init >"$tmp/wineboot.log" 2>&1 || fail "wineboot failed"
wineserver -w
echo "Wine prefix made in $((SECONDS - start)) s"
if [ -n "$setup" ]; then
    win "$setup" /S >"$tmp/setup.log" 2>&1 || fail "the setup program failed"
    wineserver -w
    program_dir=$WINEPREFIX/drive_c/Program\ Files/Flashwright
    for f in flashwright.exe Qt6Widgets.dll platforms/qwindows.dll styles/qwindowsvistastyle.dll uninstall.exe; do
        [ -e "$program_dir/$f" ] || fail "setup did not install $f"
    done
    find "$WINEPREFIX/drive_c" -iname 'Flashwright.lnk' | grep -q . || fail "setup made no Start-menu entry"
    echo "installed by the setup program into C:\\Program Files\\Flashwright"
fi
exe=$program_dir/flashwright.exe
[ -e "$exe" ] || fail "no $exe"

# Folders named as users name them, in Western letters and in Greek.
mkdir -p "$tmp/Prüfstand Säule" "$tmp/Prüfstand Ω firmware"
firmware=$tmp/Prüfstand\ Säule/image.sx
srec_cat -generate 0x10000 0x20000 -random -o "$firmware" -Motorola -address-length=3 ||
    fail "srec_cat could not make the firmware image"
greek=$tmp/Prüfstand\ Ω\ firmware/image.sx
cp "$firmware" "$greek"
# The same image with one record's checksum broken: refused before sending.
bad=$tmp/Prüfstand\ Säule/broken.sx
awk 'NR == 5 { $0 = substr($0, 1, length($0) - 2) (substr($0, length($0) - 1) == "00" ? "01" : "00") } 1' \
    "$firmware" >"$bad"

# Presets the registry: COM7 (and COM8 when given) for Wine, the wizard's
# settings in the 32-bit view, as a 32-bit installation has them (and none in
# the 64-bit view), and restarts the Wine server so that Wine reads the ports.
settings_key='HKLM\SOFTWARE\Tarnvel\Flashwright\Settings'
preset() { # firmware com7-device [com8-device]
    {
        echo 'REGEDIT4'
        echo
        echo '[HKEY_LOCAL_MACHINE\Software\Wine\Ports]'
        echo "\"COM$com\"=\"$2\""
        [ -z "${3:-}" ] || echo "\"COM$((com + 1))\"=\"$3\""
    } >"$tmp/preset.reg"
    local type=COM
    [ -z "${usb_serial:-}" ] || type=USB
    wineserver -k 2>/dev/null || true
    wineserver -w
    win reg import "$(winpath "$tmp/preset.reg")" >"$tmp/reg.log" 2>&1 || fail "reg import failed"
    if ! { win reg add "$settings_key" /v 'Connction Type' /d "$type" /f /reg:32 &&
        win reg add "$settings_key" /v 'USB Analyser' /d "${usb_serial:-}" /f /reg:32 &&
        win reg add "$settings_key" /v 'COM Port' /d "$com" /f /reg:32 &&
        win reg add "$settings_key" /v Filename /d "$(winpath "$1")" /f /reg:32; } >>"$tmp/reg.log" 2>&1; then
        fail "reg add /reg:32 failed"
    fi
    ! win reg query "$settings_key" /reg:64 >/dev/null 2>&1 || fail "settings in the 64-bit view"
    wineserver -k 2>/dev/null || true
    wineserver -w
}
start_sim() { # log-name args...
    local name=$1
    shift
    "$analyser_sim" --no-register "$@" >"$tmp/$name-stdout.log" 2>"$tmp/$name.log" &
    sim=$!
    pids+=("$sim")
    poll 100 grep -qs '^analyser-sim: device ' "$tmp/$name-stdout.log" || fail "analyser-sim did not start"
    sim_device=$(sed -n 's/^analyser-sim: device //p' "$tmp/$name-stdout.log")
}
runs_file() { find "$WINEPREFIX/drive_c/users" -path '*Tarnvel/Flashwright/runs.jsonl' 2>/dev/null | sed -n 1p; }
run_count() { local f; f=$(runs_file); [ -n "$f" ] && wc -l <"$f" || echo 0; }

# Page windows are titled "Flashwright"; message boxes with that title are
# smaller or wider. Wine draws the frame itself (no window manager runs).
pages() {
    # shellcheck disable=SC2034
    local id WIDTH HEIGHT X Y SCREEN WINDOW
    for id in $(xdotool search --onlyvisible --name '^Flashwright$' 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$id" 2>/dev/null)" || continue
        # A window going away may answer with no geometry.
        if ((${WIDTH:-0} >= 290 && ${WIDTH:-0} <= 360 && ${HEIGHT:-0} >= 280 && ${HEIGHT:-0} <= 370)); then
            echo "$id"
        fi
    done
}
port_boxes() { xdotool search --onlyvisible --name '^Comm [Pp]ort [Ss]earch$' 2>/dev/null; }
# The program's own message boxes: titled "Flashwright", not page-sized.
boxes() {
    local id page
    for id in $(xdotool search --onlyvisible --name '^Flashwright$' 2>/dev/null); do
        for page in $(pages); do [ "$id" != "$page" ] || continue 2; done
        echo "$id"
    done
}
# What the wizard's windows say now: its accessible tree, a line a node
# ("ComboBox "Serial Port" = "COM7 (In Use)"", "StaticText "..."").
says() { cat "$tmp/$wizard_name.a11y" 2>/dev/null || true; }
says_line() { grep -qE -- "$1" "$tmp/$wizard_name.a11y" 2>/dev/null; }
# Waits until a line of that text matches an extended regular expression.
wait_says() { # regex what
    poll 300 says_line "$1" ||
        fail "the wizard does not show $2; its windows say:
$(says)"
}
# Waits for a message box, checks that its text matches the regular expression,
# and answers it with Return until it is gone.
answer_box() { # what regex
    local box
    for ((n = 0; n < 300; n++)); do
        box=$(boxes | sed -n 1p)
        [ -n "$box" ] && break
        kill -0 "$wizard" 2>/dev/null || fail "flashwright exited before the message box ($1)"
        sleep 0.1
    done
    [ -n "$box" ] || fail "no message box for $1"
    wait_says "^ *StaticText \".*$2" "the message for $1"
    echo "   its message box: $(grep -E -m1 -- "^ *StaticText \".*$2" "$tmp/$wizard_name.a11y" | sed 's/^ *StaticText //')"
    for ((n = 0; n < 50; n++)); do
        xdotool windowfocus --sync "$box" key Return 2>/dev/null || true
        sleep 0.2
        [ -n "$(boxes)" ] || return 0
        box=$(boxes | sed -n 1p)
    done
    fail "the message box for $1 did not close"
}
wait_page() { # old
    local id box
    for ((n = 0; n < 300; n++)); do
        for box in $(port_boxes); do
            xdotool windowfocus --sync "$box" key Return 2>/dev/null || true
        done
        kill -0 "$wizard" 2>/dev/null || fail "flashwright exited"
        for id in $(pages); do
            if [ "$id" != "${1:-}" ] && [ -z "$(port_boxes)" ]; then
                echo "$id"
                return 0
            fi
        done
        sleep 0.1
    done
    fail "no new wizard page on screen"
}
# Alt+N is the Next button's mnemonic, sent to the page on screen. A page that
# has only just come up may not take keys yet, and Wine may replace a page's X
# window while it settles: the page is looked up afresh for each try, and the
# key is sent again until another page is up (or a message box, which a run
# that fails at once shows). Prints the new page's window.
next() { # page
    local id now
    for ((try = 0; try < 10; try++)); do
        sleep 1
        id=$(pages | sed -n 1p)
        [ -n "$id" ] || continue
        xdotool windowfocus --sync "$id" key --delay 50 alt+n 2>/dev/null || continue
        for ((n = 0; n < 50; n++)); do
            now=$(pages | sed -n 1p)
            if [ -n "$now" ] && [ "$now" != "$id" ] && [ -z "$(port_boxes)" ]; then
                echo "$now"
                return 0
            fi
            [ -z "$(boxes)" ] || { echo "$id"; return 0; }
            sleep 0.1
        done
    done
    fail "the page did not move on after Alt+N"
}
# A screenshot of the page on screen (looked up afresh: Wine may have replaced
# its X window).
shot() { # file
    # shellcheck disable=SC2034
    local id WIDTH HEIGHT X Y SCREEN WINDOW
    for ((n = 0; n < 50; n++)); do
        id=$(pages | sed -n 1p)
        if [ -n "$id" ] && eval "$(xdotool getwindowgeometry --shell "$id" 2>/dev/null)" &&
            import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$1" 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    fail "no page on screen for $1"
}
start_wizard() { # log-name
    wizard_name=$1
    # Wine hands QT_* variables to Windows programs only when spelt WINEQT_*.
    WINEQT_PLUGIN_PATH=$(winpath "$probe") WINEQT_QPA_GENERIC_PLUGINS="fw_a11y_probe:$(winpath "$tmp/$1.a11y")" \
        win "$exe" >"$tmp/$1.log" 2>&1 &
    wizard=$!
    pids+=("$wizard")
}
stop_wizard() {
    kill "$wizard" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    wait "$wizard" 2>/dev/null || true
}
# Connection, firmware and operations pages with the preset settings: Next
# three times. Prints the progress page's window.
to_progress() {
    local page
    page=$(wait_page "")
    page=$(next "$page")
    page=$(next "$page")
    next "$page"
}
last_run() { tail -n 1 "$(runs_file)"; }
# The progress page's rows as the screen shows them, "caption=status" a line,
# sorted: each row caption's label is followed by its status label.
screen_rows() {
    awk -v captions="$(jq -r '.rows | keys[]' <<<"$(last_run)")" '
        BEGIN { n = split(captions, c, "\n"); for (i = 1; i <= n; i++) row[c[i]] = 1 }
        /^ *StaticText "/ {
            t = $0; sub(/^ *StaticText "/, "", t); sub(/"( \[hidden\])?$/, "", t)
            if (caption != "") { print caption "=" t; caption = "" } else if (t in row) caption = t
        }' "$tmp/$wizard_name.a11y" 2>/dev/null | sort
}
record_rows() { jq -r '.rows | to_entries[] | "\(.key)=\(.value)"' <<<"$(last_run)" | sort; }
same_rows() { [ -n "$(screen_rows)" ] && [ "$(screen_rows)" = "$(record_rows)" ]; }
# What the screen shows is what the run did: the page's rows read as on record.
check_rows() { # what
    poll 50 same_rows || fail "the progress page's rows are not those of the run record ($1):
on screen:
$(screen_rows)
on record:
$(record_rows)"
    echo "   rows on screen as on record: $(screen_rows | paste -sd ';' | sed 's/;/; /g')"
}

# --- 1. A full flash ---------------------------------------------------------
received=$tmp/received.srec
start_sim sim1 --bootloader-version 1.2 --baud 38400 --out "$received" --exit-after-run --verbose
preset "$firmware" "$sim_device"
win reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | grep -q "COM$com" ||
    fail "Wine does not list COM$com under SERIALCOMM"
start=$SECONDS
start_wizard wizard1
page=$(to_progress)
poll 900 grep -qs "record 1 " "$tmp/sim1.log" || fail "the upload did not start"
upload_began=$(date +%s.%N)
poll 1200 test -e "$received" || fail "no image received within 120 s"
upload_ended=$(date +%s.%N)
# The wire's bound: each record's bytes in binary form ("S2", the count byte,
# address, data and checksum, CR) at 10 bits a byte.
wire_bytes=$(awk 'function hex(s, i, v) { v = 0; for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789ABCDEF", toupper(substr(s, i, 1))) - 1; return v }
                  /^S[123]/ { w += hex(substr($0, 3, 2)) + 4 } END { print w }' "$firmware")
rate=$(awk -v b="$upload_began" -v e="$upload_ended" -v w="$wire_bytes" \
    'BEGIN { bound = w * 10 / 38400; printf "wire_bytes=%d elapsed_s=%.2f wire_bound_s=%.2f ratio=%.3f", w, e - b, bound, bound / (e - b) }')
awk -v r="${rate##*ratio=}" 'BEGIN { exit !(r >= 0.9) }' || fail "the upload is slow: $rate"
poll 100 bash -c "! kill -0 $sim 2>/dev/null" || fail "analyser-sim did not finish"
wait "$sim" || fail "analyser-sim failed"
srec_cmp "$firmware" "$received" 2>"$tmp/srec_cmp.log" || fail "the received image differs from the firmware file"
poll 100 test -n "$(runs_file)" || fail "no run record below %LOCALAPPDATA%"
jq -e --arg d "$(sha256sum <"$firmware" | cut -c1-64)" --argjson com "$com" \
    '.result == "success" and .firmware.sha256 == $d and .connection.port == $com
     and (.firmware.path | endswith("\\Prüfstand Säule\\image.sx"))
     and .rows["Upload Firmware"] == "OK" and .rows["Run Firmware"] == "OK"' <<<"$(last_run)" >/dev/null ||
    fail "the run record does not say what was loaded: $(last_run)"
sleep 0.5 # the last rows' repaint
check_rows "the full flash"
shot "$out/windows-wizard.png"
# Rows "OK" in green, none "FAILED" in red (the text is smoothed: pixels
# where that colour clearly leads count).
green=$(convert "$out/windows-wizard.png" -fx 'g > r + 0.15 && g > b + 0.15' -format '%[fx:round(mean*w*h)]' info:)
red=$(convert "$out/windows-wizard.png" -fx 'r > g + 0.3 && r > b + 0.3' -format '%[fx:round(mean*w*h)]' info:)
((green > 0 && red == 0)) || fail "the progress page shows no OK ($green green, $red red pixels)"
echo "1. full flash: OK in $((SECONDS - start)) s, image equal, at 38400 baud $rate, run record: $(last_run)"
stop_wizard

# --- 2. A refused firmware file ----------------------------------------------
start_sim sim2 --bootloader-version 1.2 --baud 115200 --verbose
preset "$bad" "$sim_device"
runs_before=$(run_count)
start_wizard wizard2
page=$(to_progress)
poll 300 bash -c "[ \$(wc -l <'$(runs_file)') -gt $runs_before ]" || fail "the refused run left no record"
jq -e '.result == "failed" and (.reason | test("cannot be loaded")) and (.reason | test("Nothing was sent"))
       and .records_sent == 0' <<<"$(last_run)" >/dev/null ||
    fail "the refused file is not on record as refused: $(last_run)"
sleep 0.5
[ ! -s "$tmp/sim2.log" ] || ! grep -qv '^$' "$tmp/sim2.log" || fail "the analyser received something: $(head -n 3 "$tmp/sim2.log")"
check_rows "the refused file"
echo "2. refused file: nothing sent, run record: $(last_run)"
stop_wizard
kill "$sim" 2>/dev/null || true

# --- 3. The link lost mid-upload ---------------------------------------------
start_sim sim3 --bootloader-version 1.2 --baud 4800 --verbose
preset "$greek" "$sim_device"
runs_before=$(run_count)
start_wizard wizard3
page=$(to_progress)
poll 600 grep -qs "record 3 " "$tmp/sim3.log" || fail "the upload did not start"
kill -KILL "$sim"
poll 300 bash -c "[ \$(wc -l <'$(runs_file)') -gt $runs_before ]" || fail "the lost link left no run record"
jq -e '.result == "failed" and (.reason | contains("The connection to the analyser was lost."))
       and .records_passed < .firmware.records and ([.rows[]] | index("FAILED") != null)' \
    <<<"$(last_run)" >/dev/null || fail "the lost link is not on record as lost: $(last_run)"
answer_box "the lost link" "The connection to the analyser was lost\."
check_rows "the lost link"
sleep 0.5
shot "$out/windows-lost-link.png"
echo "3. lost link: FAILED, run record: $(last_run)"
stop_wizard

# --- 4. A port another program holds -----------------------------------------
# COM7 is held in exclusive mode by another program. The port search lists it
# "(In Use)" and keeps it chosen, as the stored port; the run then cannot open
# it and says so. Were it not listed, another port would be chosen and tried.
socat "pty,rawer,link=$tmp/com7" exec:cat 2>"$tmp/socat7.log" &
pids+=("$!")
poll 50 test -e "$tmp/com7" || fail "socat made no terminal"
perl -e 'open(my $f, "+<", $ARGV[0]) or die "open: $!"; ioctl($f, 0x540C, 0) or die "TIOCEXCL: $!";
         open(my $r, ">", $ARGV[1]); close($r); sleep 600' "$(readlink -f "$tmp/com7")" "$tmp/holding" &
pids+=("$!")
poll 50 test -e "$tmp/holding" || fail "the port holder did not start"
preset "$firmware" "$(readlink -f "$tmp/com7")"
runs_before=$(run_count)
start_wizard wizard4
page=$(wait_page "")
wait_says "^ *ComboBox \".*\" = \"COM$com \\(In Use\\)\"" "COM$com chosen and listed \"(In Use)\""
wait_says "^ *ListItem \"COM$com \\(In Use\\)\"" "COM$com \"(In Use)\" in the port list"
shot "$out/windows-port-in-use.png"
page=$(next "$page")
page=$(next "$page")
# The run fails at once with a message box; OK ends it.
page=$(next "$page")
answer_box "the held port" "COM$com.*in use"
poll 300 bash -c "[ \$(wc -l <'$(runs_file)') -gt $runs_before ]" || fail "the run on a held port left no record"
jq -e --argjson com "$com" '.result == "failed" and .connection.port == $com
       and (.reason | test("in use"))' <<<"$(last_run)" >/dev/null ||
    fail "the held port is not on record as in use: $(last_run)"
check_rows "the held port"
echo "4. port held elsewhere: listed \"COM$com (In Use)\" and kept as chosen, the run says: $(last_run | jq -r .reason)"
stop_wizard

# --- 5. and 6. Through the USB converter -------------------------------------
if [ -n "$converter" ]; then
    cp "$converter" "$program_dir/TVD2XX.DLL"
    usb_serial=FW000001
    export FAKE_D2XX_DEVICE="USB Serial Converter|$usb_serial|\\\\.\\COM$com"
    received5=$tmp/received5.srec
    start_sim sim5 --bootloader-version 1.2 --baud 115200 --out "$received5" --exit-after-run
    preset "$firmware" "$sim_device"
    start_wizard wizard5
    page=$(to_progress)
    poll 900 test -e "$received5" || fail "no image received through the converter within 90 s"
    poll 100 bash -c "! kill -0 $sim 2>/dev/null" || fail "analyser-sim did not finish"
    srec_cmp "$firmware" "$received5" 2>"$tmp/srec_cmp5.log" ||
        fail "the image received through the converter differs from the firmware file"
    jq -e '.result == "success" and .connection.type == "USB"' <<<"$(last_run)" >/dev/null ||
        fail "the converter run is not on record as a success: $(last_run)"
    check_rows "the converter"
    echo "5. through \"USB Serial Converter\" (TVD2XX.DLL): OK, image equal"
    stop_wizard

    start_sim sim6 --bootloader-version 1.2 --baud 4800 --verbose
    preset "$firmware" "$sim_device"
    runs_before=$(run_count)
    start_wizard wizard6
    page=$(to_progress)
    poll 600 grep -qs "record 3 " "$tmp/sim6.log" || fail "the upload through the converter did not start"
    kill -KILL "$sim"
    poll 300 bash -c "[ \$(wc -l <'$(runs_file)') -gt $runs_before ]" || fail "the unplugged converter left no run record"
    jq -e '.result == "failed" and .connection.type == "USB" and .records_passed < .firmware.records
           and (.reason | contains("The connection to the analyser was lost."))' \
        <<<"$(last_run)" >/dev/null || fail "the unplugged converter is not on record as failed: $(last_run)"
    answer_box "the unplugged converter" "The connection to the analyser was lost\."
    check_rows "the unplugged converter"
    echo "6. converter unplugged mid-upload: FAILED, the run says: $(last_run | jq -r .reason)"
    stop_wizard
    unset FAKE_D2XX_DEVICE usb_serial
    # Not the setup program's file: its uninstaller leaves it, and the folder.
    rm -f "$program_dir/TVD2XX.DLL"
fi

# --- 7. A bench of two COM ports ----------------------------------------------
# COM7 and COM8 were chosen before in the bench's checklist (the "Bench" value):
# Alt+B opens it with both ticked, Return takes them, and the operations
# page's Next starts both runs at once on the bench page.
received7=$tmp/received7.srec
received8=$tmp/received8.srec
start_sim sim7 --bootloader-version 1.2 --baud 115200 --out "$received7" --exit-after-run
dev7=$sim_device
start_sim sim8 --bootloader-version 1.2 --baud 115200 --out "$received8" --exit-after-run
preset "$firmware" "$dev7" "$sim_device"
win reg add "$settings_key" /v Bench /d "COM$com;COM$((com + 1))" /f /reg:32 >>"$tmp/reg.log" 2>&1 ||
    fail "reg add Bench failed"
runs_before=$(run_count)
start_wizard wizard7
page=$(wait_page "")
checklist=
for ((try = 0; try < 10; try++)); do
    [ -z "$checklist" ] || break
    sleep 1
    page=$(pages | sed -n 1p)
    xdotool windowfocus --sync "$page" key --delay 50 alt+b 2>/dev/null || continue
    poll 30 bash -c 'xdotool search --onlyvisible --name "^Bench\$" 2>/dev/null | grep -q .' || continue
    checklist=$(xdotool search --onlyvisible --name '^Bench$' | sed -n 1p)
done
[ -n "$checklist" ] || fail "Alt+B opened no bench checklist"
sleep 0.5
xdotool windowfocus --sync "$checklist" key Return 2>/dev/null || true
page=$(wait_page "$page") # the firmware page
page=$(next "$page")      # the operations page
# Its Next starts the bench (a page wider than the others; its count says so).
# The page is looked up afresh for each try, as next() does.
for ((try = 0; try < 10; try++)); do
    sleep 1
    page=$(pages | sed -n 1p)
    [ -z "$page" ] || xdotool windowfocus --sync "$page" key --delay 50 alt+n 2>/dev/null || true
    poll 50 says_line '^ *StaticText "[0-9]+ of 2 analysers' && break
done
two_more_runs() { [ "$(run_count)" -ge $((runs_before + 2)) ]; }
poll 900 two_more_runs || fail "the bench left no two records"
wait_says '^ *StaticText "2 of 2 analysers OK"' "the bench's count"
srec_cmp "$firmware" "$received7" 2>"$tmp/srec_cmp7.log" || fail "COM$com's image differs"
srec_cmp "$firmware" "$received8" 2>"$tmp/srec_cmp8.log" || fail "COM$((com + 1))'s image differs"
tail -n 2 "$(runs_file)" | jq -se --arg a "COM$com" --arg b "COM$((com + 1))" \
    'all(.result == "success") and .[0].batch == .[1].batch and (.[0].batch | length) == 36
     and ([.[].analyser] | sort) == [$a, $b]' >/dev/null ||
    fail "the bench's records do not say it: $(tail -n 2 "$(runs_file)")"
for id in $(xdotool search --onlyvisible --name '^Flashwright$' 2>/dev/null); do # the bench page
    eval "$(xdotool getwindowgeometry --shell "$id" 2>/dev/null)" || continue
    ((${WIDTH:-0} < 600)) || { import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out/windows-bench.png"; break; }
done
echo "7. bench of COM$com and COM$((com + 1)): both OK, images equal, one record each of one batch"
stop_wizard

# --- Uninstall ----------------------------------------------------------------
if [ -n "$setup" ]; then
    uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Flashwright'
    win reg query "$uninstall_key" /reg:64 >/dev/null 2>&1 || fail "the setup program left no uninstall entry"
    win "C:\\Program Files\\Flashwright\\uninstall.exe" /S >"$tmp/uninstall.log" 2>&1 || fail "the uninstaller failed"
    poll 300 bash -c "! test -e '$WINEPREFIX/drive_c/Program Files/Flashwright'" ||
        fail "left in Program Files: $(find "$WINEPREFIX/drive_c/Program Files/Flashwright")"
    ! find "$WINEPREFIX/drive_c" -iname 'Flashwright.lnk' | grep -q . || fail "the Start-menu entry is left"
    ! win reg query "$uninstall_key" /reg:64 >/dev/null 2>&1 || fail "the uninstall entry is left"
    win reg query "$settings_key" /v 'COM Port' /reg:32 >/dev/null 2>&1 || fail "the uninstaller removed the settings"
    echo "uninstalled: nothing left in Program Files, no uninstall or Start-menu entry, settings kept"
fi
echo "PASS"
