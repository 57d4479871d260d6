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
# Each configuration is timed RUNS times; the figure is the median. A logged
# run of each counts the control requests per block.
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

# run_update TOOL FILE: one update; a failure is a failed check.
run_update() {
    case "$1" in
        hiddfu)
            hiddfu update 1234-5678-0000 "$2" > update.out 2>&1 &&
                grep -q '"progress": 100.0, "state": 0' update.out ||
                e2e_fail "hiddfu update $2: $(tail -n 2 update.out)" ;;
        dfu-util)
            dfu-util -d 1234:5678 -D "$2" > update.out 2>&1 ||
                e2e_fail "dfu-util -D $2: $(tr '\r' '\n' < update.out | tail -n 3)" ;;
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

# measure LABEL TOOL TRANSFER_SIZE [hiddfu-sim options]: sets PER_BLOCK (the
# median ms per block) and REQUESTS_PER_BLOCK, and reports them.
measure() {
    label=$1 tool=$2 size=$3
    shift 3
    fw=fw-$size
    [ -f "$fw.dfu" ] || make_firmware "$fw" $((size * BLOCKS)) 2.0.0
    dfu_payload "$fw.dfu" "$fw.payload"
    sim_start counted "$@" --transfer-size "$size" --poll-timeout 0 --manifest-timeout 0 || return 1
    run_update "$tool" "$fw.dfu"
    # Every request of the run, over the blocks: the few of the start and
    # the end (status, functional report, the final DNLOAD) add a little.
    REQUESTS_PER_BLOCK=$(awk -v n="$(count_requests counted)" -v b=$BLOCKS 'BEGIN { printf "%.2f", n / b }')
    sim_stop counted
    rm -f "$label.times"
    sim_start_unlogged "$label" "$@" --flash "$PWD/$label.flash" --transfer-size "$size" \
        --poll-timeout 0 --manifest-timeout 0 || return 1
    for _ in $(seq "$RUNS"); do
        run_update "$tool" "$fw.dfu"
        block_ms "$label" >> "$label.times"
    done
    expect_files_equal "$label: the flash holds the payload" "$fw.payload" "$label.flash"
    sim_stop "$label"
    PER_BLOCK=$(median < "$label.times")
    say "$label: $(tr '\n' ' ' < "$label.times")ms per block (median $PER_BLOCK)," \
        "$REQUESTS_PER_BLOCK control requests per block over the whole run"
}

say "== time per block, $BLOCKS blocks, $RUNS runs each (ms) =="
measure uhid-1024 hiddfu 1024
uhid_1024=$PER_BLOCK
measure usb-1024 hiddfu 1024 --usb
usb_1024=$PER_BLOCK
measure uhid-256 hiddfu 256
uhid_256=$PER_BLOCK
measure usb-hid-256 hiddfu 256 --usb
usb_hid_256=$PER_BLOCK
hid_requests=$REQUESTS_PER_BLOCK
# The DFU class device always runs at real-time priority (it must take a
# DNLOAD's data before dfu-util's next request): the feature-report device
# once more at that priority, for a comparison on equal terms.
measure usb-hid-256-realtime hiddfu 256 --usb --realtime
usb_hid_256_realtime=$PER_BLOCK
measure usb-dfu-class-256 dfu-util 256 --usb-dfu-class
usb_dfu_256=$PER_BLOCK
dfu_requests=$REQUESTS_PER_BLOCK

say "== ratios =="
say "USB / uhid, 1024-byte blocks (hiddfu): $(ratio "$usb_1024" "$uhid_1024")"
say "USB / uhid, 256-byte blocks (hiddfu): $(ratio "$usb_hid_256" "$uhid_256")"
say "same bus, 256-byte blocks, hiddfu over HID feature reports / dfu-util over the DFU class:" \
    "$(ratio "$usb_hid_256" "$usb_dfu_256") ($hid_requests against $dfu_requests control requests per block)"
say "the same, both devices at real-time priority: $(ratio "$usb_hid_256_realtime" "$usb_dfu_256")"
