# e2e-timeout: 1500
# Benchmark, not a test: time per block of an update through the VM's USB
# stack (dummy_hcd) against the same update through uhid, and, on the same
# emulated bus at the same transfer size (256 bytes), hiddfu's upgrade
# library over HID feature reports (hiddfu-sim --usb, FunctionFS) against
# dfu-util over the standard DFU class interface (hiddfu-sim --usb-dfu-class,
# gadgetfs), both into the device core. The devices ask for no poll wait.
#
# The library is timed by e2e-update-timing (the upgrade hiddfu update runs,
# its progress polled every millisecond instead of hiddfu's every second),
# dfu-util by its run time (10 ms resolution). Each is timed RUNS times for
# SMALL_BLOCKS and BIG_BLOCKS blocks; the time per block is the difference of
# the medians over the difference of the blocks, which leaves out what a run
# costs once (program start, enumeration, manifestation). A logged run of
# each size counts the control requests per block the same way.
SIM_ATTACH_POLLS=3000
RUNS=${RUNS:-5}
SMALL_BLOCKS=16
BIG_BLOCKS=256

report=$PWD/report.txt
: > "$report"
say() { echo "$*" | tee -a "$report"; }

# median: the median of the numbers on stdin, one a line.
median() {
    sort -n | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# per_block SMALL_MS BIG_MS: milliseconds per block from two medians.
per_block() {
    awk -v small="$1" -v big="$2" -v blocks=$((BIG_BLOCKS - SMALL_BLOCKS)) \
        'BEGIN { printf "%.3f", (big - small) / blocks }'
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'
}

# time_update TOOL FILE OUT: appends one update's milliseconds to OUT; a
# failure is a failed check.
time_update() {
    case "$1" in
        library)
            if e2e-update-timing 1234 5678 "$2" > timing.out 2>&1; then
                awk '$1 == "update" { print $3 }' timing.out >> "$3"
            else
                e2e_fail "e2e-update-timing $2: $(cat timing.out)"
            fi ;;
        dfu-util)
            start=$(now_ms)
            if dfu-util -d 1234:5678 -D "$2" > dfu-util.out 2>&1; then
                echo $(( $(now_ms) - start )) >> "$3"
            else
                e2e_fail "dfu-util -D $2: $(tr '\r' '\n' < dfu-util.out | tail -n 3)"
            fi ;;
    esac
}

# count_requests NAME: the control requests in NAME's log (feature reports,
# or DFU class requests).
count_requests() {
    grep -c -e '^set-feature ' -e '^get-feature ' -e '^dfu-out ' -e '^dfu-in ' "$1.simlog"
}

# measure LABEL TOOL TRANSFER_SIZE [hiddfu-sim options]: sets MEDIAN_SMALL,
# MEDIAN_BIG, PER_BLOCK and REQUESTS_PER_BLOCK and reports them.
measure() {
    label=$1 tool=$2 size=$3
    shift 3
    small=fw-$size-$SMALL_BLOCKS big=fw-$size-$BIG_BLOCKS
    [ -f "$small.dfu" ] || make_firmware "$small" $((size * SMALL_BLOCKS)) 2.0.0
    [ -f "$big.dfu" ] || make_firmware "$big" $((size * BIG_BLOCKS)) 2.0.0
    dfu_payload "$big.dfu" "$big.payload"
    sim_start counted "$@" --transfer-size "$size" --poll-timeout 0 --manifest-timeout 0 || return 1
    time_update "$tool" "$small.dfu" /dev/null
    logged_small=$(count_requests counted)
    time_update "$tool" "$big.dfu" /dev/null
    logged_big=$(( $(count_requests counted) - logged_small ))
    sim_stop counted
    REQUESTS_PER_BLOCK=$(per_block "$logged_small" "$logged_big")
    rm -f "$label.small" "$label.big"
    sim_start_unlogged "$label" "$@" --flash "$PWD/$label.flash" --transfer-size "$size" \
        --poll-timeout 0 --manifest-timeout 0 || return 1
    for _ in $(seq "$RUNS"); do
        time_update "$tool" "$small.dfu" "$label.small"
        time_update "$tool" "$big.dfu" "$label.big"
    done
    expect_files_equal "$label: the flash holds the last payload" "$big.payload" "$label.flash"
    sim_stop "$label"
    MEDIAN_SMALL=$(median < "$label.small")
    MEDIAN_BIG=$(median < "$label.big")
    PER_BLOCK=$(per_block "$MEDIAN_SMALL" "$MEDIAN_BIG")
    say "$label: $SMALL_BLOCKS blocks $(tr '\n' ' ' < "$label.small")ms (median $MEDIAN_SMALL)," \
        "$BIG_BLOCKS blocks $(tr '\n' ' ' < "$label.big")ms (median $MEDIAN_BIG):" \
        "$PER_BLOCK ms per block, $REQUESTS_PER_BLOCK control requests per block"
}

say "== time per block, $RUNS runs each (ms) =="
measure uhid-1024 library 1024
uhid_1024=$PER_BLOCK
measure usb-1024 library 1024 --usb
usb_1024=$PER_BLOCK
measure uhid-256 library 256
uhid_256=$PER_BLOCK
measure usb-hid-256 library 256 --usb
usb_hid_256=$PER_BLOCK
hid_requests=$REQUESTS_PER_BLOCK
# The DFU class device always runs at real-time priority (it must take a
# DNLOAD's data before dfu-util's next request): the feature-report device
# once more at that priority, for a comparison on equal terms.
measure usb-hid-256-realtime library 256 --usb --realtime
usb_hid_256_realtime=$PER_BLOCK
measure usb-dfu-class-256 dfu-util 256 --usb-dfu-class
usb_dfu_256=$PER_BLOCK
dfu_requests=$REQUESTS_PER_BLOCK

say "== ratios =="
say "USB / uhid, 1024-byte blocks (library): $(ratio "$usb_1024" "$uhid_1024")"
say "USB / uhid, 256-byte blocks (library): $(ratio "$usb_hid_256" "$uhid_256")"
say "same bus, 256-byte blocks, HID feature reports (library) / DFU class (dfu-util):" \
    "$(ratio "$usb_hid_256" "$usb_dfu_256") ($hid_requests against $dfu_requests control requests per block)"
say "the same, both devices at real-time priority: $(ratio "$usb_hid_256_realtime" "$usb_dfu_256")"
