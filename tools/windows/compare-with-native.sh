#!/bin/sh
# Checks that the Windows build behaves as the native (Linux) build does:
#   - mkdfu.exe makes the sample DFU files byte for byte as mkdfu does
#     (tools/make-samples.sh run with each);
#   - hiddfu.exe dfufile prints the same descriptions of the samples and the
#     same errors, and the same usage text and exit status for argument errors.
# Expected differences are taken out before comparing: the object address in
# each description's first line, the program name in the usage text (hiddfu
# against hiddfu.exe) and the Windows line ends ("\r\n") of hiddfu.exe's
# text-mode output.
#
# usage: compare-with-native.sh NATIVE_HIDDFU NATIVE_MKDFU HIDDFU_EXE MKDFU_EXE WORKDIR EMULATOR [ARG...]
#   EMULATOR [ARG...]: the command that runs a Windows program (wine-run.sh ...)
set -eu

if [ $# -lt 6 ]; then
    echo "usage: $0 NATIVE_HIDDFU NATIVE_MKDFU HIDDFU_EXE MKDFU_EXE WORKDIR EMULATOR [ARG...]" >&2
    exit 2
fi
native_hiddfu=$1
native_mkdfu=$2
windows_hiddfu=$3
windows_mkdfu=$4
work=$5
shift 5
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

for program in "$native_hiddfu" "$native_mkdfu" "$windows_hiddfu" "$windows_mkdfu"; do
    if [ ! -f "$program" ]; then
        echo "$0: $program not built" >&2
        exit 1
    fi
done

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

# One command word that runs a Windows program: make-samples.sh runs its
# mkdfu that way. (The words are quoted for sh; paths with a ' break this.)
emulator=$work/run-windows
{
    echo '#!/bin/sh'
    printf 'exec'
    for word in "$@"; do printf " '%s'" "$word"; done
    echo ' "$@"'
} > "$emulator"
{
    echo '#!/bin/sh'
    echo "exec '$emulator' '$windows_mkdfu' \"\$@\""
} > "$work/mkdfu-windows"
chmod +x "$emulator" "$work/mkdfu-windows"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

echo "-- samples made by mkdfu and by mkdfu.exe"
sh "$source_dir/tools/make-samples.sh" "$work/native" "$native_mkdfu" > /dev/null
sh "$source_dir/tools/make-samples.sh" "$work/windows" "$work/mkdfu-windows" > /dev/null
for sample in "$work/native/"*.dfu; do
    name=$(basename "$sample")
    if cmp "$sample" "$work/windows/$name"; then
        echo "same bytes: $name"
    else
        fail "mkdfu.exe made a different $name"
    fi
done

normalise() {
    sed -e 's/\r$//' \
        -e 's/^Firmware object @ [^:]*: /Firmware object @ ADDR: /' \
        -e 's/hiddfu\.exe/hiddfu/g' "$1"
}

# Runs both programs in the native samples' folder with the same words and
# compares standard output, standard error and exit status.
compare_run() {
    label=$1
    shift
    status=0
    (cd "$work/native" && "$native_hiddfu" "$@") > "$work/n.out" 2> "$work/n.err" || status=$?
    echo "$status" > "$work/n.status"
    status=0
    (cd "$work/native" && "$emulator" "$windows_hiddfu" "$@") > "$work/w.out" 2> "$work/w.err" || status=$?
    echo "$status" > "$work/w.status"
    for stream in out err; do
        normalise "$work/n.$stream" > "$work/n.$stream.cmp"
        normalise "$work/w.$stream" > "$work/w.$stream.cmp"
        if ! diff -u "$work/n.$stream.cmp" "$work/w.$stream.cmp" > "$work/diff"; then
            fail "$label: standard $stream differs (native -, windows +):"
            cat "$work/diff" >&2
        fi
    done
    if ! cmp -s "$work/n.status" "$work/w.status"; then
        fail "$label: exit status $(cat "$work/n.status") native, $(cat "$work/w.status") windows"
    fi
    echo "compared: $label (exit status $(cat "$work/n.status"))"
}

echo "-- hiddfu against hiddfu.exe"
compare_run "dfufile on the samples" dfufile small.dfu csr.dfu fw.dfu corrupt.dfu missing.dfu
compare_run "no arguments"
compare_run "unknown action" flash
compare_run "devices, too few" devices 1
compare_run "devices, bad idVendor" devices abc 1
compare_run "devices, bad idProduct" devices 1 xyz
compare_run "update, wrong count" update 1234-5678-0000
compare_run "set, wrong count" set
compare_run "get, wrong count" get
compare_run "reset, wrong count" reset 1234-5678-0000 extra

if [ "$failures" -ne 0 ]; then
    echo "$failures difference(s) between the native and the Windows build" >&2
    exit 1
fi
echo "the Windows build behaves as the native build"
