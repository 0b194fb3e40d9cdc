# bash completion for flashwright-cli: commands, the options of flash, the
# connection types, the --ops names (after a comma too), the COM ports and USB
# converters `flashwright-cli list` shows, and file names for check, --file and
# --analysers. --port, --usb and --address may come again (one analyser each).

_flashwright_cli_list() {
    # $1: "ports" or "converters"
    flashwright-cli list 2>/dev/null | awk -v want="$1" '
        /^Serial ports:/ { part = "ports"; next }
        /^USB converters:/ { part = "converters"; next }
        part == "ports" && want == "ports" && $1 ~ /^COM[0-9]+$/ { print $1 }
        part == "converters" && want == "converters" && / : / {
            sub(/.* : /, ""); print
        }'
}

_flashwright_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=""
    [[ $COMP_CWORD -gt 0 ]] && prev=${COMP_WORDS[COMP_CWORD - 1]}
    local IFS=$'\n'
    COMPREPLY=()

    case $prev in
    --type)
        COMPREPLY=($(compgen -W $'COM\nUSB\nTCP' -- "$cur"))
        return
        ;;
    --port)
        if [[ $cur == /* ]]; then
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$(_flashwright_cli_list ports)" -- "$cur"))
        fi
        return
        ;;
    --usb)
        COMPREPLY=($(compgen -W "$(_flashwright_cli_list converters)" -- "$cur"))
        return
        ;;
    --file | --analysers)
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    --ops)
        local done="" last=$cur
        if [[ $cur == *,* ]]; then
            done=${cur%,*},
            last=${cur##*,}
        fi
        compopt -o nospace 2>/dev/null
        COMPREPLY=($(compgen -P "$done" -W \
            $'bootloader\nerase-flash\nerase-eeprom\nerase-ram\nupload\nrun' -- "$last"))
        return
        ;;
    --timeout | --address | --jobs | --sha256)
        return
        ;;
    esac

    # The command: the first word that is neither an option nor an option's value.
    local i command=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        --type | --port | --usb | --address | --file | --ops | --timeout | --analysers | --jobs | --sha256) ((i++)) ;;
        -*) ;;
        *)
            command=${COMP_WORDS[i]}
            break
            ;;
        esac
    done

    case $command in
    "")
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W $'--help\n--version' -- "$cur"))
        else
            COMPREPLY=($(compgen -W $'list\ncheck\nflash\nhelp' -- "$cur"))
        fi
        ;;
    flash)
        # Each option once, but those naming one analyser each.
        local option word options=""
        for option in --type --port --usb --address --file --ops --save --json --timeout --analysers \
            --jobs --sha256 --watch --help; do
            case $option in
            --port | --usb | --address) ;;
            *)
                for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
                    [[ $word == "$option" ]] && continue 2
                done
                ;;
            esac
            options+=$option$'\n'
        done
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        ;;
    check)
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W '--help' -- "$cur"))
        else
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
        fi
        ;;
    help)
        [[ $i -eq $((COMP_CWORD - 1)) ]] &&
            COMPREPLY=($(compgen -W $'list\ncheck\nflash' -- "$cur"))
        ;;
    list)
        COMPREPLY=($(compgen -W '--help' -- "$cur"))
        ;;
    esac
}

complete -F _flashwright_cli flashwright-cli
