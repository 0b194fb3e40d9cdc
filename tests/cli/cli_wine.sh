#!/usr/bin/env bash
# flashwright-cli.exe under Wine, as the setup program installs it, against
# analyser-sim on pseudo-terminals that Wine makes COM7 to COM10
# (HKLM\Software\Wine\Ports, each a link in the scratch folder re-pointed to
# the simulator of the moment) and COM11, which another program holds:
#   1. `list` names the COM ports, COM11 "(In Use)";
#   2. `check` of a good and a damaged file;
#   3. one flash of 64 KiB at 38400 baud with the settings a 32-bit
#      installation stored (`reg add /reg:32`: COM7 and a file in "Prüfstand
#      Säule"), run from the command line of the Start-menu prompt: byte-exact,
#      on record in %LOCALAPPDATA%, timed against the wire's bound;
#   4. a bench of four from a text file at 38400 baud, with --json (jq): each
#      byte-exact, timed;
#   5. a bench of four, COM9 rejecting record 5: exit code 1, the table names
#      it, the other three byte-exact;
#   6. Ctrl-C mid-upload of a bench of two, sent to the console by
#      console_ctrl.exe: every run abandoned and on record, nothing started,
#      exit code 130 (Wine 8 passes no Ctrl-Break on, and has no console window
#      to close: those events are not tested here);
#   7. one analyser through ser2net by --address, with --save.
# Then the uninstaller leaves no flashwright-cli.exe and no Start-menu entry.
#
#   cli_wine.sh SETUP.EXE CONSOLE_CTRL.EXE ANALYSER_SIM [OUTPUT_DIR]
#
# Prints one line per case and two benchmark lines. Exits 77 (skipped) when a
# tool is missing, and fails instead under CI (CI=true).
set -euo pipefail

if [ $# -lt 3 ]; then
    echo "usage: $0 SETUP.EXE CONSOLE_CTRL.EXE ANALYSER_SIM [OUTPUT_DIR]" >&2
    exit 2
fi
setup=$(readlink -f "$1")
console_ctrl=$(readlink -f "$2")
analyser_sim=$(readlink -f "$3")
for tool in wine wineserver srec_cat srec_cmp jq perl socat ser2net strings; do
    if ! command -v "$tool" >/dev/null; then
        [ "${CI:-}" != true ] || { echo "FAIL: $tool is not installed (CI installs every tool)"; exit 1; }
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done
export LC_ALL=C.UTF-8 # Wine takes file names and arguments in the locale's encoding

tmp=$(mktemp -d "${TMPDIR:-/tmp}/fw-cli-wine.XXXXXX")
out=${4:-$tmp}
mkdir -p "$out"
out=$(readlink -f "$out")
# shellcheck source=tests/gui/lib.sh
source "$(dirname "$0")/../gui/lib.sh"
use_wine
began=$SECONDS

# --- Prefix, setup, ports ------------------------------------------------------
win wineboot --init >"$tmp/wineboot.log" 2>&1 || fail "wineboot failed"
wineserver -w
win "$setup" /S >"$tmp/setup.log" 2>&1 || fail "the setup program failed"
wineserver -w
program_dir=$WINEPREFIX/drive_c/Program\ Files/Flashwright
[ -e "$program_dir/flashwright-cli.exe" ] || fail "setup did not install flashwright-cli.exe"
prompt_lnk=$(find "$WINEPREFIX/drive_c" -name 'Flashwright Command Prompt.lnk' | sed -n 1p)
[ -n "$prompt_lnk" ] || fail "setup made no Start-menu entry for the command prompt"
# The prompt's line as the entry holds it (cmd /k "set PATH=...;%PATH% && ...").
prompt_args=$(strings -el "$prompt_lnk" | grep -m1 -o '/k .*') || fail "no /k line in the prompt's entry"
[[ "$prompt_args" == *'PATH=C:\Program Files\Flashwright;%PATH%'* ]] ||
    fail "the prompt does not put the program's folder on its PATH: $prompt_args"
cli="C:\\Program Files\\Flashwright\\flashwright-cli.exe"
echo "installed: flashwright-cli.exe beside the wizard; the Start-menu prompt runs: cmd $prompt_args"

# COM7..COM10 are links in $tmp, each pointed at the simulator of the moment;
# COM11 is a terminal another program holds in exclusive mode.
socat "pty,rawer,link=$tmp/com11" exec:cat 2>"$tmp/socat.log" &
pids+=("$!")
poll 50 test -e "$tmp/com11" || fail "socat made no terminal"
perl -e 'open(my $f, "+<", $ARGV[0]) or die "open: $!"; ioctl($f, 0x540C, 0) or die "TIOCEXCL: $!";
         open(my $r, ">", $ARGV[1]); close($r); sleep 600' "$(readlink -f "$tmp/com11")" "$tmp/holding" &
pids+=("$!")
poll 50 test -e "$tmp/holding" || fail "the port holder did not start"
# Starts a simulator for COM n and points the port's link at it.
declare -A sims
start_sim() { # n args... (not "n": poll counts with it)
    local com=$1
    shift
    rm -f "$tmp/received$com.srec" "$tmp/sim$com-stdout.log" # not read before it is new
    "$analyser_sim" --no-register --verbose --out "$tmp/received$com.srec" --exit-after-run "$@" \
        >"$tmp/sim$com-stdout.log" 2>"$tmp/sim$com.log" &
    sims[$com]=$!
    pids+=("$!")
    poll 100 grep -qs '^analyser-sim: device ' "$tmp/sim$com-stdout.log" || fail "analyser-sim $com did not start"
    ln -sfn "$(sed -n 's/^analyser-sim: device //p' "$tmp/sim$com-stdout.log")" "$tmp/com$com"
}
stop_sims() {
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${sims[@]}"; do wait "$pid" 2>/dev/null || true; done
    sims=()
}
# Wine lists the ports whose devices are there when its server starts.
for n in 7 8 9 10; do start_sim "$n" --baud 38400; done
{
    echo 'REGEDIT4'
    echo
    echo '[HKEY_LOCAL_MACHINE\Software\Wine\Ports]'
    for n in 7 8 9 10; do echo "\"COM$n\"=\"$tmp/com$n\""; done
    echo "\"COM11\"=\"$(readlink -f "$tmp/com11")\""
} >"$tmp/ports.reg"
settings_key='HKLM\SOFTWARE\Tarnvel\Flashwright\Settings'
wineserver -k 2>/dev/null || true
wineserver -w
win reg import "$(winpath "$tmp/ports.reg")" >"$tmp/reg.log" 2>&1 || fail "reg import failed"
mkdir -p "$tmp/Prüfstand Säule"
firmware=$tmp/Prüfstand\ Säule/image.sx
srec_cat -generate 0x10000 0x20000 -random -o "$firmware" -Motorola -address-length=3 || fail "srec_cat failed"
small=$tmp/small.sx
srec_cat -generate 0x10000 0x11000 -random -o "$small" -Motorola -address-length=3 || fail "srec_cat failed"
bad=$tmp/broken.sx
awk 'NR == 5 { $0 = substr($0, 1, length($0) - 2) (substr($0, length($0) - 1) == "00" ? "01" : "00") } 1' \
    "$small" >"$bad"
# As a 32-bit installation stored them: in the 32-bit view only.
{ win reg add "$settings_key" /v 'Connction Type' /d COM /f /reg:32 &&
    win reg add "$settings_key" /v 'COM Port' /d 7 /f /reg:32 &&
    win reg add "$settings_key" /v Filename /d "$(winpath "$firmware")" /f /reg:32; } >>"$tmp/reg.log" 2>&1 ||
    fail "reg add /reg:32 failed"
! win reg query "$settings_key" /reg:64 >/dev/null 2>&1 || fail "settings in the 64-bit view"
wineserver -k 2>/dev/null || true
wineserver -w

received() { # n image
    poll 100 test -s "$tmp/received$1.srec" && srec_cmp "$2" "$tmp/received$1.srec" 2>>"$tmp/srec_cmp.log"
}
runs_file() { find "$WINEPREFIX/drive_c/users" -path '*AppData/Local/Tarnvel/Flashwright/runs.jsonl' 2>/dev/null | sed -n 1p; }
run_count() { local f; f=$(runs_file); [ -n "$f" ] && wc -l <"$f" || echo 0; }
runs_since() { tail -n +"$(($1 + 1))" "$(runs_file)"; }
# A Windows program's text output ends its lines in CR LF.
unix_lines() { sed -i 's/\r$//' "$@"; }
cli() { # log-name args...: its exit code in $rc
    local name=$1
    shift
    rc=0
    win "$cli" "$@" >"$tmp/$name.out" 2>"$tmp/$name.log" || rc=$?
    unix_lines "$tmp/$name.out" "$tmp/$name.log"
}
# The wire's bound: each record in binary form ("S2", count, address, data,
# checksum, CR) at 10 bits a byte.
wire_bytes=$(awk 'function hex(s, i, v) { v = 0; for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789ABCDEF", toupper(substr(s, i, 1))) - 1; return v }
                  /^S[123]/ { w += hex(substr($0, 3, 2)) + 4 } END { print w }' "$firmware")
bound=$(awk -v w="$wire_bytes" 'BEGIN { printf "%.3f", w * 10 / 38400 }')
# The upload of each simulator given, timed from its first record to its image:
# "n=seconds" a line.
time_uploads() { # n...
    local n now
    declare -A first=() last=()
    for ((t = 0; t < 1500; t++)); do
        now=$(date +%s.%N)
        for n in "$@"; do
            [ -n "${first[$n]:-}" ] || ! grep -qs "record 1 " "$tmp/sim$n.log" || first[$n]=$now
            [ -n "${last[$n]:-}" ] || [ ! -s "$tmp/received$n.srec" ] || last[$n]=$now
        done
        [ "${#last[@]}" -lt $# ] || break
        sleep 0.05
    done
    for n in "$@"; do
        [ -n "${first[$n]:-}" ] && [ -n "${last[$n]:-}" ] || fail "COM$n: no whole upload within 75 s"
        awk -v n="$n" -v b="${first[$n]}" -v e="${last[$n]}" 'BEGIN { printf "%s=%.3f\n", n, e - b }'
    done
}

# --- 1. list -------------------------------------------------------------------
cli list list
for n in 7 8 9 10; do grep -qE "^  COM$n +" "$tmp/list.out" || fail "list does not name COM$n: $(cat "$tmp/list.out")"; done
grep -qE '^  COM11 .*\(In Use\)$' "$tmp/list.out" || fail "list does not show COM11 in use: $(cat "$tmp/list.out")"
echo "1. list: COM7-COM10, and $(grep -E '^  COM11 ' "$tmp/list.out" | sed 's/^ *//')"

# --- 2. check ------------------------------------------------------------------
cli check check "$(winpath "$firmware")"
[ "$rc" -eq 0 ] || fail "check of a good file: exit code $rc"
grep -q "^sha256:     $(sha256sum <"$firmware" | cut -c1-64)" "$tmp/check.out" || fail "check: $(cat "$tmp/check.out")"
grep -q '^file:.*Prüfstand Säule' "$tmp/check.out" || fail "check prints the path wrongly: $(head -n1 "$tmp/check.out")"
cli check-bad check "$(winpath "$bad")"
[ "$rc" -eq 1 ] && grep -q 'refused: line 5 ' "$tmp/check-bad.log" || fail "check of a damaged file: exit code $rc, $(cat "$tmp/check-bad.log")"
echo "2. check: good file 0 (digest as sha256sum's), damaged file 1: $(cat "$tmp/check-bad.log")"

# --- 3. One flash with the stored settings, from the Start-menu prompt ----------
runs=$(run_count)
# The entry's own line as cmd runs it (its outer quotes taken off), the
# closing check replaced by the run, in a batch file: Wine would quote the
# line's quotes for cmd in a way cmd does not read.
line=${prompt_args#/k \"}
line=${line%\"}
printf '@%s\r\n' "${line/flashwright-cli --version/flashwright-cli flash}" >"$tmp/prompt.cmd"
rc=0
win cmd.exe /c "$(winpath "$tmp/prompt.cmd")" >"$tmp/prompt.out" 2>"$tmp/prompt.log" &
prompt=$!
times=$(time_uploads 7)
wait "$prompt" || rc=$?
unix_lines "$tmp/prompt.out" "$tmp/prompt.log"
[ "$rc" -eq 0 ] || fail "flash from the prompt: exit code $rc"
received 7 "$firmware" || fail "COM7: the received image differs"
grep -q '^Run Firmware: OK' "$tmp/prompt.out" || fail "no 'Run Firmware: OK': $(cat "$tmp/prompt.out")"
run=$(runs_since "$runs")
jq -e --arg d "$(sha256sum <"$firmware" | cut -c1-64)" '.result == "success" and .firmware.sha256 == $d
    and .connection.port == 7 and (.firmware.path | endswith("\\Prüfstand Säule\\image.sx"))' <<<"$run" >/dev/null ||
    fail "the run record does not say what was loaded: $run"
one=${times#7=}
echo "3. flash with the 32-bit view's settings from the Start-menu prompt: OK, image equal, on record in %LOCALAPPDATA%"
bench1="cli-wine analysers=1 baud=38400 wire_bytes=$wire_bytes wire_bound_s=$bound elapsed_s=$one ratio=$(awk -v e="$one" -v b="$bound" 'BEGIN { printf "%.4f", e / b }')"

# --- 4. A bench of four from a text file, --json ---------------------------------
start_sim 7 --baud 38400 # the others wait since the start
printf '# the bench\nCOM7\nCOM8\n\n9\nCOM10  # the last\n' >"$tmp/bench.txt"
runs=$(run_count)
win "$cli" flash --analysers "$(winpath "$tmp/bench.txt")" --file "$(winpath "$firmware")" --json \
    >"$tmp/bench4.out" 2>"$tmp/bench4.log" &
bench_pid=$!
times=$(time_uploads 7 8 9 10)
rc=0
wait "$bench_pid" || rc=$?
unix_lines "$tmp/bench4.out" "$tmp/bench4.log"
[ "$rc" -eq 0 ] || fail "bench of four: exit code $rc"
for n in 7 8 9 10; do received "$n" "$firmware" || fail "COM$n: the received image differs"; done
jq -e 'length == 4 and all(.[]; .result == "success") and ([.[].analyser] == ["COM7", "COM8", "COM9", "COM10"])
       and ([.[].batch] | unique | length == 1)' "$tmp/bench4.out" >/dev/null ||
    fail "--json: $(cat "$tmp/bench4.out")"
grep -q '^4 of 4 analysers OK$' "$tmp/bench4.log" || fail "no count line: $(tail -n 3 "$tmp/bench4.log")"
[ "$(runs_since "$runs" | jq -s 'length')" -eq 4 ] || fail "not four records"
worst=$(sed 's/.*=//' <<<"$times" | sort -n | tail -n1)
median=$(sed 's/.*=//' <<<"$times" | sort -n | sed -n 2,3p | awk '{ s += $1 } END { printf "%.3f", s / NR }')
echo "4. bench of four from a text file: all OK, each image equal, --json parsed"
bench4="cli-wine analysers=4 baud=38400 wire_bytes=$wire_bytes wire_bound_s=$bound median_s=$median worst_s=$worst median_ratio=$(awk -v e="$median" -v b="$bound" 'BEGIN { printf "%.4f", e / b }') worst_ratio=$(awk -v e="$worst" -v b="$bound" 'BEGIN { printf "%.4f", e / b }')"
stop_sims

# --- 5. A bench of four, one rejecting a record ----------------------------------
for n in 7 8 10; do start_sim "$n" --baud 0; done
start_sim 9 --baud 0 --reject-record 5
cli bench-reject flash --port 7 --port 8 --port 9 --port '\\.\COM10' --file "$(winpath "$small")"
[ "$rc" -eq 1 ] || fail "a bench with a rejected record: exit code $rc"
grep -qE '^COM9 +FAILED ' "$tmp/bench-reject.out" || fail "the table does not name COM9: $(cat "$tmp/bench-reject.out")"
grep -q '^3 of 4 analysers OK; not OK: COM9$' "$tmp/bench-reject.out" || fail "the count: $(tail -n1 "$tmp/bench-reject.out")"
for n in 7 8 10; do received "$n" "$small" || fail "COM$n: the received image differs"; done
echo "5. bench with COM9 rejecting record 5: exit code 1, $(grep -E '^COM9 ' "$tmp/bench-reject.out" | tr -s ' ')"
stop_sims

# --- 6. Ctrl-C mid-upload ---------------------------------------------------------
stop_event() { # log-name n... (then -- and the command's arguments)
    local name=$1 n
    shift
    local watch=()
    while [ "$1" != -- ]; do watch+=("$1"); shift; done
    shift
    rm -f "$tmp/trigger"
    # Once every simulator has had 20 records, mid-upload.
    (for ((t = 0; t < 600; t++)); do
        sleep 0.1
        for n in "${watch[@]}"; do grep -qs "record 20 " "$tmp/sim$n.log" || continue 2; done
        touch "$tmp/trigger"
        exit 0
    done) &
    rc=0
    win "$console_ctrl" "$(winpath "$tmp/trigger")" "$cli" "$@" >"$tmp/$name.out" 2>"$tmp/$name.log" || rc=$?
    unix_lines "$tmp/$name.out" "$tmp/$name.log"
}
for n in 7 8; do start_sim "$n" --baud 9600; done
runs=$(run_count)
stop_event ctrl-c 7 8 -- flash --port 7 --port 8 --file "$(winpath "$firmware")"
[ "$rc" -eq 130 ] || fail "Ctrl-C: exit code $rc: $(tail -n 3 "$tmp/ctrl-c.log")"
grep -q 'interrupted (Ctrl-C); 2 runs were abandoned' "$tmp/ctrl-c.log" || fail "Ctrl-C: $(tail -n 3 "$tmp/ctrl-c.log")"
runs_since "$runs" | jq -se 'length == 2 and all(.[]; .result == "abandoned" and .records_sent > 0
    and .records_sent < .firmware.records)' >/dev/null || fail "Ctrl-C: the records: $(runs_since "$runs")"
for n in 7 8; do ! grep -qs '^run' "$tmp/sim$n.log" || fail "COM$n: the firmware was started"; done
echo "6. Ctrl-C mid-upload of two: exit code 130, both abandoned and on record, neither started"
stop_sims

# --- 7. Through ser2net ----------------------------------------------------------
start_sim 7 --baud 0
port=$((20000 + RANDOM % 20000))
printf 'connection: &analyser\n  accepter: tcp,127.0.0.1,%s\n  connector: serialdev,%s,38400n81,local\n' \
    "$port" "$(readlink -f "$tmp/com7")" >"$tmp/ser2net.yaml"
ser2net -n -u -c "$tmp/ser2net.yaml" -P "$tmp/ser2net.pid" 2>"$tmp/ser2net.log" &
pids+=("$!")
poll 50 bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null || fail "ser2net does not listen"
runs=$(run_count)
cli ser2net flash --address "127.0.0.1:$port" --file "$(winpath "$small")" --save
[ "$rc" -eq 0 ] || fail "through ser2net: exit code $rc: $(tail -n 3 "$tmp/ser2net.log")"
received 7 "$small" || fail "through ser2net: the received image differs"
runs_since "$runs" | jq -e '.result == "success" and .connection.type == "TCP"' >/dev/null ||
    fail "through ser2net: $(runs_since "$runs")"
# --save stored the type and the address where the wizard reads them.
win reg query "$settings_key" /reg:32 >"$tmp/saved.log" 2>&1 || fail "no settings after --save"
grep -qE "Address +REG_SZ +127\.0\.0\.1:$port" "$tmp/saved.log" &&
    grep -qE 'Connction Type +REG_SZ +TCP' "$tmp/saved.log" || fail "--save: $(cat "$tmp/saved.log")"
echo "7. through ser2net (--address 127.0.0.1:$port --save): OK, image equal, type and address stored in the 32-bit view"
stop_sims

# --- Uninstall -------------------------------------------------------------------
win "C:\\Program Files\\Flashwright\\uninstall.exe" /S >"$tmp/uninstall.log" 2>&1 || fail "the uninstaller failed"
poll 300 bash -c "! test -e '$program_dir/flashwright-cli.exe'" || fail "flashwright-cli.exe is left"
! find "$WINEPREFIX/drive_c" -name 'Flashwright Command Prompt.lnk' | grep -q . || fail "the prompt's entry is left"
echo "uninstalled: no flashwright-cli.exe, no prompt entry"
echo "$bench1"
echo "$bench4"
echo "PASS ($((SECONDS - began)) s)"
