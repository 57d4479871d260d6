#!/bin/sh
# Makes the sample DFU files that the README describes with
# `hiddfu dfufile samples/*.dfu`:
#   small.dfu    40-byte payload with text, 3 bytes of aux data
#   csr.dfu      600-byte payload that starts with a CSR DFU header
#   fw.dfu       6 KiB payload, no aux data
#   corrupt.dfu  small.dfu with one payload byte changed: its CRC no longer
#                matches, so hiddfu reports "Invalid DFU file"
# The bytes are the same on every run and every machine: only POSIX sh,
# printf, dd, cat and cp make them, and mkdfu adds the suffixes.
#
# usage: make-samples.sh OUTDIR [MKDFU]   (MKDFU defaults to mkdfu on PATH)
set -eu

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 OUTDIR [MKDFU]" >&2
    exit 2
fi
outdir=$1
mkdfu=${2:-mkdfu}

mkdir -p "$outdir"
work="$outdir/.make-samples.$$"
rm -rf "$work"
mkdir "$work"
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM

# COUNT bytes counting up from FIRST (wrapping at 256), on standard output.
counting_bytes() {
    n=0
    while [ "$n" -lt "$2" ]; do
        # shellcheck disable=SC2059 # the format is the escape itself
        printf "\\$(printf '%03o' $((($1 + n) % 256)))"
        n=$((n + 1))
    done
}

# COUNT bytes of 0xff, ten at a time (COUNT is a multiple of 10).
ff_bytes() {
    n=0
    while [ "$n" -lt "$1" ]; do
        printf '\377\377\377\377\377\377\377\377\377\377'
        n=$((n + 10))
    done
}

# COUNT zero bytes.
zero_bytes() {
    dd if=/dev/zero bs="$1" count=1 2>/dev/null
}

# Fails unless FILE has exactly SIZE bytes.
expect_size() {
    actual=$(($(wc -c < "$1")))
    if [ "$actual" -ne "$2" ]; then
        echo "$0: $1 has $actual bytes, expected $2" >&2
        exit 1
    fi
}

run_mkdfu() {
    "$mkdfu" "$@" > /dev/null
}

# small.dfu: the text line, then the bytes 00..14; aux data "AB" and a zero.
{
    printf 'Hello, DFU world!\r\n'
    counting_bytes 0 21
} > "$work/small.bin"
printf 'AB\000' > "$work/small.aux"
expect_size "$work/small.bin" 40
run_mkdfu -v 0xabcd -p 0x0102 -d 0x0203 -a "$work/small.aux" \
    "$work/small.bin" "$outdir/small.dfu"
expect_size "$outdir/small.dfu" 59

# csr.dfu: a 100-byte CSR DFU header, then 0xff up to 600 bytes.
#   0  file id "CSR-dfu1"       8  version 0x0001 (LE16)
#   10 file length 600 (LE32)   14 header length 100 (LE16)
#   16 description, zero-padded to 64 bytes; 80..99 zero
{
    printf 'CSR-dfu1'
    printf '\001\000'
    printf '\130\002\000\000'   # 600 = 0x00000258
    printf '\144\000'           # 100 = 0x0064
    printf 'Demo image'
    zero_bytes 54               # pads the description to 64 bytes
    zero_bytes 20               # header bytes 80..99
    ff_bytes 500
} > "$work/csr.bin"
expect_size "$work/csr.bin" 600
run_mkdfu -v 0x1234 -p 0x5678 -d 0x0100 "$work/csr.bin" "$outdir/csr.dfu"
expect_size "$outdir/csr.dfu" 616

# fw.dfu: 6 KiB of the bytes 00..ff repeated, no aux data.
counting_bytes 0 256 > "$work/ramp.bin"
: > "$work/fw.bin"
i=0
while [ "$i" -lt 24 ]; do
    cat "$work/ramp.bin" >> "$work/fw.bin"
    i=$((i + 1))
done
expect_size "$work/fw.bin" 6144
run_mkdfu -v 0x1234 -p 0x5678 -d 0x0100 "$work/fw.bin" "$outdir/fw.dfu"
expect_size "$outdir/fw.dfu" 6160

# corrupt.dfu: payload byte 7 of small.dfu goes from 'D' to 'd'.
cp "$outdir/small.dfu" "$work/corrupt.dfu"
printf 'd' | dd of="$work/corrupt.dfu" bs=1 seek=7 count=1 conv=notrunc 2>/dev/null
expect_size "$work/corrupt.dfu" 59
mv "$work/corrupt.dfu" "$outdir/corrupt.dfu"

echo "make-samples: small.dfu csr.dfu fw.dfu corrupt.dfu in $outdir"
