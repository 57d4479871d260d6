#!/bin/sh
# Builds a fuzz target (fuzz_dfu_load unless TARGET names another) in
# BUILD_DIR (a build folder configured with the fuzz preset, e.g. build/fuzz)
# and runs it for SECONDS seconds; fuzz_dfu_load starts from a seed corpus
# of DFU files, fuzz_device_core (the device core fed random report
# sequences) from nothing. Fails (non-zero) on any crash, leak, timeout,
# broken invariant or sanitizer report; the failing input is then kept in
# BUILD_DIR/fuzz/artifacts/ and the log in BUILD_DIR/fuzz/TARGET.log.
#
# usage: fuzz/run-fuzz.sh BUILD_DIR SECONDS [TARGET]
set -eu

if [ $# -ne 2 ] && [ $# -ne 3 ]; then
    echo "usage: $0 BUILD_DIR SECONDS [TARGET]" >&2
    exit 2
fi
build=$1
seconds=$2
target=${3:-fuzz_dfu_load}
case $target in
    fuzz_dfu_load | fuzz_device_core) ;;
    *) echo "$0: unknown fuzz target '$target'" >&2; exit 2 ;;
esac
case $seconds in
    '' | *[!0-9]*) echo "$0: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac

if [ "$target" = fuzz_dfu_load ]; then
    cmake --build "$build" --target fuzz_dfu_load fuzz_make_corpus -j 2
else
    cmake --build "$build" --target "$target" -j 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/$target.XXXXXX")
scratch="$work/scratch"
trap 'rm -rf "$work" "$scratch"' EXIT
trap 'exit 1' HUP INT TERM
# The target rewrites a scratch file for every input: on a disk file system
# that rewrite can wait for the disk, so it goes to tmpfs where there is one.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    scratch=$(mktemp -d "/dev/shm/$target.XXXXXX")
else
    mkdir "$scratch"
fi
mkdir "$work/seeds" "$work/corpus"
if [ "$target" = fuzz_dfu_load ]; then
    "$build/fuzz/fuzz_make_corpus" "$work/seeds"
fi

artifacts="$build/fuzz/artifacts"
log="$build/fuzz/$target.log"
mkdir -p "$artifacts"

# New inputs go to the working corpus (first folder); the seeds stay as made.
status=0
TMPDIR="$scratch" \
ASAN_OPTIONS=detect_leaks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz/$target" \
    -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$work/corpus" "$work/seeds" > "$log" 2>&1 || status=$?

grep -v '^"' "$log" | tail -n 12
if [ "$status" -ne 0 ]; then
    echo "run-fuzz: FAILED: $target exited with $status (log $log, inputs in $artifacts)" >&2
    exit 1
fi
# Belt and braces: a report that did not end the run still fails it.
if grep -E "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|invariant violated" "$log" > /dev/null; then
    echo "run-fuzz: FAILED: sanitizer or invariant report in $log" >&2
    exit 1
fi
echo "run-fuzz: $target: no crash, leak or sanitizer report in $seconds s"
