# bash completion for hiddfu: the action words, the ids and identifiers of
# the HID devices attached now (from /sys/class/hidraw), and file names
# (DFU files for update, any file for dfufile).

# The hidraw class folder; a variable so that the tests can point it at a
# made-up tree.
: "${_hiddfu_hidraw_class:=/sys/class/hidraw}"

# Prints "vvvv pppp" (lowercase hex) once for each vendor and product id of
# the attached hidraw devices. The kernel writes the ids into each device's
# uevent file as HID_ID=BUS:VENDOR:PRODUCT, eight hex digits each.
_hiddfu_attached_ids()
{
    local uevent line
    for uevent in "$_hiddfu_hidraw_class"/*/device/uevent; do
        [[ -r $uevent ]] || continue
        while IFS= read -r line; do
            if [[ $line =~ ^HID_ID=[0-9A-Fa-f]+:0*([0-9A-Fa-f]{1,4}):0*([0-9A-Fa-f]{1,4})$ ]]; then
                printf '%04x %04x\n' "0x${BASH_REMATCH[1]}" "0x${BASH_REMATCH[2]}"
            fi
        done < "$uevent"
    done | sort -u
}

# Sets COMPREPLY to the names below the word being completed: files matching
# the pattern (all files when it is empty) and folders to descend into.
_hiddfu_files()
{
    local cur=$1 pattern=$2
    compopt -o filenames 2> /dev/null
    if [[ -n $pattern ]]; then
        mapfile -t COMPREPLY < <(compgen -f -X "!$pattern" -- "$cur"; compgen -d -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

_hiddfu()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local action=${COMP_WORDS[1]}
    local vendor product candidates=()
    COMPREPLY=()

    if ((COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(compgen -W "version devices update set get reset dfufile" -- "$cur")
        return
    fi

    case $action in
    devices)
        # idVendor, then the idProducts of the attached devices of that vendor.
        if ((COMP_CWORD == 2)); then
            while read -r vendor product; do
                candidates+=("0x$vendor")
            done < <(_hiddfu_attached_ids)
        elif ((COMP_CWORD == 3)) && [[ ${COMP_WORDS[2]} =~ ^(0[xX][0-9a-fA-F]+|0[0-7]*|[1-9][0-9]*)$ ]]; then
            # The vendor word in C notation (0x1234, 4660, 011), as hiddfu
            # reads it; checked above to be a number before bash evaluates it.
            local wanted_vendor=$((COMP_WORDS[2]))
            while read -r vendor product; do
                if ((wanted_vendor == 0x$vendor)); then
                    candidates+=("0x$product")
                fi
            done < <(_hiddfu_attached_ids)
        fi
        mapfile -t COMPREPLY < <(compgen -W "${candidates[*]}" -- "$cur")
        ;;
    update | set | get | reset)
        if ((COMP_CWORD == 2)); then
            while read -r vendor product; do
                candidates+=("$vendor-$product-0000")
            done < <(_hiddfu_attached_ids)
            mapfile -t COMPREPLY < <(compgen -W "${candidates[*]}" -- "$cur")
        elif ((COMP_CWORD == 3)) && [[ $action == update ]]; then
            _hiddfu_files "$cur" '*.[dD][fF][uU]'
        fi
        ;;
    dfufile)
        _hiddfu_files "$cur" ''
        ;;
    esac
}

complete -F _hiddfu hiddfu
