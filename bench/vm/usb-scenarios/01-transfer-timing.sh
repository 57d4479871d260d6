# e2e-timeout: 1500
# Benchmark, not a test: time per block of an update through the VM's USB
# stack (dummy_hcd) against the same update through uhid, and, on the same
# emulated bus at the same transfer size (256 bytes), `hiddfu update` over
# HID feature reports (hiddfu-sim --usb, FunctionFS) against `dfu-util -D`
# over the standard DFU class interface (hiddfu-sim --usb-dfu-class,
# gadgetfs), both into the device core. The devices ask for no poll wait.
#
# The pace is measured where both hosts are seen alike: in the device. After
# each manifested image hiddfu-sim says how long its blocks took from the
# first to the last (microseconds of the device's clock); that time over
# (blocks - 1) is the time per block, with nothing of either program's
# start-up, enumeration, one-second progress poll or manifestation in it.
# The two sides of each comparison are attached at once (other product ids)
# and updated in turn, RUNS times each, so that a busy moment of the host
# falls on both alike; the figures are medians. A logged run of each device
# counts its control requests.
SIM_ATTACH_POLLS=3000
RUNS=${RUNS:-7}
BLOCKS=256

report=$PWD/report.txt
: > "$report"
say() { echo "$*" | tee -a "$report"; }

# median: the median of the numbers on stdin, one a line.
median() {
    sort -n | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'
}

# run_update TOOL PID FILE: one update; a failure is a failed check.
run_update() {
    case "$1" in
        hiddfu)
            hiddfu update "1234-$2-0000" "$3" > update.out 2>&1 &&
                grep -q '"progress": 100.0, "state": 0' update.out ||
                e2e_fail "hiddfu update $2 $3: $(tail -n 2 update.out)" ;;
        dfu-util)
            dfu-util -d "1234:$2" -D "$3" > update.out 2>&1 ||
                e2e_fail "dfu-util -D $3: $(tr '\r' '\n' < update.out | tail -n 3)" ;;
    esac
}

# block_ms NAME: milliseconds per block of NAME's last manifested image,
# from its "flashed an image of N bytes in B blocks, X ms from the first
# block to the last" line.
block_ms() {
    sed -n 's/.* in \([0-9]*\) blocks, \([0-9.]*\) ms from the first block to the last.*/\1 \2/p' \
        "$1.simout" | tail -n 1 | awk '$1 > 1 { printf "%.3f\n", $2 / ($1 - 1) }'
}

# count_requests NAME: the control requests in NAME's log (feature reports,
# or DFU class requests).
count_requests() {
    grep -c -e '^set-feature ' -e '^get-feature ' -e '^dfu-out ' -e '^dfu-in ' "$1.simlog"
}

# side LABEL TOOL PID TRANSFER_SIZE [hiddfu-sim options]: one side of a
# comparison: makes its firmware, counts its requests in a logged run, then
# attaches the device to be timed (unlogged). Sets REQUESTS_PER_BLOCK.
side() {
    # Names of their own: lib.sh's helpers set pid, name and label.
    side_label=$1 side_tool=$2 side_product=$3 side_size=$4
    shift 4
    side_fw=fw-$side_product-$side_size
    echo "$side_tool $side_product $side_fw" > "$side_label.side"
    make_firmware "$side_fw" $((side_size * BLOCKS)) 2.0.0 -p "$side_product"
    dfu_payload "$side_fw.dfu" "$side_label.payload"
    sim_start counted --pid "$side_product" "$@" --transfer-size "$side_size" --poll-timeout 0 \
        --manifest-timeout 0 || return 1
    run_update "$side_tool" "$side_product" "$side_fw.dfu"
    # Every request of the run over its blocks: the few of the start and the
    # end (status, functional report, the final DNLOAD) add a little.
    REQUESTS_PER_BLOCK=$(awk -v n="$(count_requests counted)" -v b=$BLOCKS 'BEGIN { printf "%.2f", n / b }')
    sim_stop counted
    rm -f "$side_label.times"
    sim_start_unlogged "$side_label" --pid "$side_product" "$@" --flash "$PWD/$side_label.flash" \
        --transfer-size "$side_size" --poll-timeout 0 --manifest-timeout 0
}

# time_side LABEL: one timed update of that side.
time_side() {
    read -r side_tool side_product side_fw < "$1.side"
    run_update "$side_tool" "$side_product" "$side_fw.dfu"
    block_ms "$1" >> "$1.times"
}

# finish_side LABEL: checks the flash, detaches the device, sets PER_BLOCK
# (the median) and reports the side.
finish_side() {
    expect_files_equal "$1: the flash holds the payload" "$1.payload" "$1.flash"
    sim_stop "$1"
    PER_BLOCK=$(median < "$1.times")
    say "$1: $(tr '\n' ' ' < "$1.times")ms per block (median $PER_BLOCK)"
}

# compare A B: times the attached sides A and B in turn, RUNS times each;
# sets A_MS and B_MS.
compare() {
    for _ in $(seq "$RUNS"); do
        time_side "$1"
        time_side "$2"
    done
    finish_side "$1"
    A_MS=$PER_BLOCK
    finish_side "$2"
    B_MS=$PER_BLOCK
}

say "== time per block, $BLOCKS blocks, $RUNS runs each, the two sides in turn (ms) =="
side uhid-1024 hiddfu 5601 1024
side usb-1024 hiddfu 5602 1024 --usb
compare uhid-1024 usb-1024
say "USB / uhid, 1024-byte blocks (hiddfu): $(ratio "$B_MS" "$A_MS")"

side uhid-256 hiddfu 5601 256
side usb-hid-256 hiddfu 5602 256 --usb
compare uhid-256 usb-hid-256
say "USB / uhid, 256-byte blocks (hiddfu): $(ratio "$B_MS" "$A_MS")"

side usb-hid-256 hiddfu 5602 256 --usb
hid_requests=$REQUESTS_PER_BLOCK
side usb-dfu-class-256 dfu-util 5603 256 --usb-dfu-class
dfu_requests=$REQUESTS_PER_BLOCK
compare usb-hid-256 usb-dfu-class-256
say "same bus, 256-byte blocks, hiddfu over HID feature reports / dfu-util over the DFU class:" \
    "$(ratio "$A_MS" "$B_MS") ($hid_requests against $dfu_requests control requests per block)"

# The DFU class device always runs at real-time priority (it must take a
# DNLOAD's data before dfu-util's next request): the feature-report device
# once more at that priority, for a comparison on equal terms.
side usb-hid-256-realtime hiddfu 5602 256 --usb --realtime
side usb-dfu-class-256 dfu-util 5603 256 --usb-dfu-class
compare usb-hid-256-realtime usb-dfu-class-256
say "the same, both devices at real-time priority: $(ratio "$A_MS" "$B_MS")"
