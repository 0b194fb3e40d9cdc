#!/usr/bin/env bash
# The options of each command as three places name them: the command's own
# help (`flashwright-cli help COMMAND`), the manual page's "OPTIONS OF
# COMMAND" section and what the bash completion offers after `COMMAND --`.
# --help, which every command takes, is left out. Any difference fails.
set -uo pipefail
cli=$1
man=$2
completion=$(realpath "$3")

from_help() {
    "$cli" help "$1" | sed -n '/^Options:/,$p' | grep -oE '^  --[a-z0-9-]+' | sed 's/^ *//'
}
from_man() {
    local section="# OPTIONS OF ${1^^}"
    awk -v section="$section" '$0 == section { on = 1; next } /^# / { on = 0 } on' "$man" |
        grep -oE '^\*--[a-z0-9-]+' | tr -d '*'
}
from_completion() {
    (
        # shellcheck source=/dev/null
        source "$completion"
        COMP_WORDS=(flashwright-cli "$1" --)
        COMP_CWORD=2
        COMPREPLY=()
        _flashwright_cli 2>/dev/null
        printf '%s\n' "${COMPREPLY[@]}"
    ) | grep -vx -- '--help'
}

failed=0
for command in list check flash; do
    help=$(from_help "$command" | sort -u)
    for source in man completion; do
        other=$("from_$source" "$command" | sed '/^$/d' | sort -u)
        if [ "$help" != "$other" ]; then
            echo "FAILED: $command: --help lists [$(echo $help)], the $source [$(echo $other)]"
            failed=1
        fi
    done
done
[ "$failed" -eq 0 ] && echo "options: --help, the manual page and the completion agree"
exit "$failed"
