#!/usr/bin/env bash
# The bash completion of flashwright-cli: sourced in a plain bash, asked for
# the words a user would have typed (the last one being completed), its
# answers compared. `flashwright-cli list` is answered by a stand-in on PATH.
set -uo pipefail
completion=$(realpath "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/bin" "$dir/fw" "$dir/dev"
cat >"$dir/bin/flashwright-cli" <<'LIST'
#!/bin/sh
printf 'Serial ports:\n  COM1    /dev/ttyS0\n  COM33   /dev/ttyUSB0 (In Use)\n  COM99   /dev/pts/4\n'
printf 'USB converters:\n  Analyser Cable A : A1B2C3D4A\n'
LIST
chmod +x "$dir/bin/flashwright-cli"
touch "$dir/dev/ttyUSB9" "$dir/fw/a.sx" "$dir/fw/b.s19" "$dir/fw/notes.txt"
PATH="$dir/bin:$PATH"
cd "$dir/fw" || exit 1
# shellcheck source=/dev/null
source "$completion" || exit 1

failed=0
check() { # expected (one a line, sorted), then the words; the last is completed
    local expected=$1
    shift
    COMP_WORDS=(flashwright-cli "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _flashwright_cli
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | sed '/^$/d')
    if [ "$got" != "$expected" ]; then
        echo "FAILED: flashwright-cli $* <TAB>"
        echo "  expected: $(echo "$expected" | tr '\n' ' ')"
        echo "  got:      $(echo "$got" | tr '\n' ' ')"
        failed=1
    fi
}

check $'check\nflash\nhelp\nlist' ""
check $'--help\n--version' "--"
check $'flash' "fl"
check $'--address\n--analysers\n--file\n--help\n--jobs\n--json\n--ops\n--port\n--save\n--sha256\n--timeout\n--type\n--usb\n--watch' flash --port 7 --
check $'--address\n--analysers\n--file\n--help\n--jobs\n--json\n--ops\n--port\n--save\n--sha256\n--timeout\n--type\n--usb\n--watch' flash --address h:1 --
check "" flash --address ""
check $'--address\n--analysers\n--file\n--help\n--jobs\n--json\n--port\n--save\n--sha256\n--timeout\n--type\n--usb\n--watch' flash --port 7 --usb A1 --ops run --
check $'a.sx' flash --analysers a
check "" flash --port 7 --jobs ""
check "" flash --sha256 ""
check $'--ops' flash --o
check $'COM1\nCOM33\nCOM99' flash --port ""
check $'COM33' flash --port COM3
check "$dir/dev/ttyUSB9" flash --port "$dir/dev/tty"
check $'A1B2C3D4A' flash --usb ""
check $'COM\nTCP\nUSB' flash --type ""
check $'erase-eeprom\nerase-flash\nerase-ram' flash --ops erase
check $'bootloader,run' flash --ops bootloader,r
check $'a.sx\nb.s19\nnotes.txt' check ""
check $'a.sx' flash --file a
check $'check\nflash\nlist' help ""
check "" help flash ""
check "" flash --timeout ""
[ "$failed" -eq 0 ] && echo "completion: all cases passed"
exit "$failed"
