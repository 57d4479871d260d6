#!/usr/bin/env bash
# Loads hiddfu's bash completion into a plain bash and completes command
# lines with it, as bash does on TAB: action words, the identifiers and ids of
# the devices in a made-up /sys/class/hidraw, and file names.
#
# usage: completion-test.sh COMPLETION_SCRIPT WORK_DIR
set -u
script=$1
work=$2
rm -rf "$work"
mkdir -p "$work/files/sub" "$work/class"
touch "$work/files/fw.dfu" "$work/files/FW2.DFU" "$work/files/notes.txt"
# Two hidraw nodes of one device and one of another; HID_ID as the kernel
# writes it.
for node in hidraw0:0003:00001234:00005678 hidraw1:0003:00001234:00005678 \
        hidraw2:0005:0000ABCD:00000102; do
    mkdir -p "$work/class/${node%%:*}/device"
    printf 'DRIVER=hid-generic\nHID_ID=%s\nHID_NAME=test\n' "${node#*:}" \
        > "$work/class/${node%%:*}/device/uevent"
done

_hiddfu_hidraw_class=$work/class
# shellcheck source=/dev/null
source "$script" || { echo "FAIL: the completion script does not load"; exit 1; }
[[ $(complete -p hiddfu) == "complete -F _hiddfu hiddfu" ]] ||
    { echo "FAIL: complete -p hiddfu: $(complete -p hiddfu 2>&1)"; exit 1; }

failures=0
# Completes the words (the last one is the word under the cursor) and
# compares the sorted candidates with the expected ones.
expect() {
    local expected=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _hiddfu 2> "$work/stderr"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' ')
    if [[ $got != "$expected" || -s $work/stderr ]]; then
        echo "FAIL: '$*' completed to '$got', expected '$expected' $(cat "$work/stderr")"
        failures=$((failures + 1))
    fi
}

f=$work/files
expect "update" hiddfu u
expect "devices dfufile" hiddfu d
expect "devices dfufile get reset set update version" hiddfu ""
expect "" hiddfu x
expect "0x1234 0xabcd" hiddfu devices ""
expect "0x5678" hiddfu devices 0x1234 ""
expect "0x5678" hiddfu devices 4660 ""
expect "0x0102" hiddfu devices 0XABCD 0x
expect "" hiddfu devices 'a[$(touch $work/injected)]' ""
expect "1234-5678-0000" hiddfu update 12
expect "1234-5678-0000 abcd-0102-0000" hiddfu reset ""
expect "$f/FW2.DFU $f/fw.dfu $f/sub" hiddfu update 1234-5678-0000 "$f/"
expect "$f/FW2.DFU $f/fw.dfu $f/notes.txt $f/sub" hiddfu dfufile "$f/"
expect "$f/notes.txt" hiddfu dfufile "$f/fw.dfu" "$f/n"
expect "" hiddfu get 1234-5678-0000 ""
[[ -e $work/injected ]] && { echo "FAIL: a typed word was run"; failures=$((failures + 1)); }

rm -rf "$work"
((failures == 0)) || exit 1
echo "completion: all cases pass"
