# e2e-timeout: 280
# Benchmark, not a test: the payload rate of an update through the VM's real
# hidraw path (libhiddfu -> hidraw -> uhid -> hiddfu-sim) against the raw
# report round-trip rate of the same path, for several transfer sizes, with
# a device that asks for no poll wait (poll and manifestation timeouts 0).
# It checks only that every update worked and left the payload in the flash.
#
# Per transfer size, on one device, ROUNDS times in turn (the VM shares the
# host, so each figure is the best of its rounds):
#   raw      e2e-hid-roundtrips: GETSTATE, full-length request report
#            (ABORT), the block pair (request report + GETSTATUS: what each
#            block costs), output + input report (hiddfu get's path)
#   library  e2e-update-timing: from hidDfuUpgrade's return until progress
#            100 (polled every 1 ms): all blocks, and the fixed costs of the
#            worker's start and the manifestation (the flash file written)
# then once hiddfu update, whose one-second poll rounds the time up.
# The payload is 1 MiB, or 4096 blocks where that is less (small transfer
# sizes), so that no size takes long.
MAX_PAYLOAD_BYTES=1048576
ROUNDTRIP_MS=1000
ROUNDS=3
TRANSFER_SIZES="64 256 1024 4090"

# best WORD COLUMN FILE...: the largest value in COLUMN of the lines that
# start with "roundtrip WORD" or WORD, over the files.
best() {
    word=$1 column=$2
    shift 2
    awk -v word="$word" -v column="$column" '
        $1 == word || ($1 == "roundtrip" && $2 == word) { if (!seen || $column > max) max = $column; seen = 1 }
        END { print max }' "$@"
}

# least WORD COLUMN FILE...: the smallest value in COLUMN of the lines that
# start with WORD, over the files.
least() {
    word=$1 column=$2
    shift 2
    awk -v word="$word" -v column="$column" '
        $1 == word { if (!seen || $column < min) min = $column; seen = 1 }
        END { print min }' "$@"
}

# ratio A B SCALE: A / B * SCALE with one decimal.
ratio() {
    awk -v a="$1" -v b="$2" -v scale="$3" 'BEGIN { if (b > 0) printf "%.1f", a / b * scale; else print "n/a" }'
}

report=$PWD/report.txt
: > "$report"
say() { echo "$*" | tee -a "$report"; }

say "payload rate of an update against the raw report rate, through hidraw in the VM (TCG);"
say "device: poll timeout 0, manifestation timeout 0; best of $ROUNDS rounds"
for size in $TRANSFER_SIZES; do
    echo "==== transfer size $size"
    blocks=$(( MAX_PAYLOAD_BYTES / size ))
    [ "$blocks" -gt 4096 ] && blocks=4096
    payload_bytes=$(( blocks * size ))
    [ "$payload_bytes" -gt "$MAX_PAYLOAD_BYTES" ] && payload_bytes=$MAX_PAYLOAD_BYTES
    blocks=$(( (payload_bytes + size - 1) / size ))
    make_firmware "bench$size" "$payload_bytes" 9.9.9 || continue
    dfu_payload "bench$size.dfu" "bench$size.payload"

    sim_start_unlogged dev --transfer-size "$size" --poll-timeout 0 --manifest-timeout 0 \
        --flash "$PWD/dev.flash" || continue
    round=1
    while [ "$round" -le "$ROUNDS" ]; do
        e2e-hid-roundtrips 0 "$ROUNDTRIP_MS" > "raw$round.txt" 2>&1
        expect_true "raw round trips, size $size, round $round" [ $? -eq 0 ]
        rm -f dev.flash
        e2e-update-timing 1234 5678 "bench$size.dfu" > "lib$round.txt" 2>&1
        expect_true "library update, size $size, round $round" [ $? -eq 0 ]
        expect_files_equal "flash holds the payload" "bench$size.payload" dev.flash
        sed 's/^/    | /' "raw$round.txt" "lib$round.txt"
        round=$((round + 1))
    done
    rm -f dev.flash
    run_hiddfu_timed update 1234-5678-0000 "bench$size.dfu"
    expect_last_line "$(transfer_line 1234-5678-0000 100 0 null)"
    expect_files_equal "flash holds the payload (hiddfu)" "bench$size.payload" dev.flash
    sim_stop dev

    raw_files=$(ls raw*.txt)
    lib_files=$(ls lib*.txt)
    report_length=$(best report 3 $raw_files)
    pair_rate=$(best block-pair 5 $raw_files)
    transfer_ms=$(least update 3 $lib_files)
    library_rate=$(ratio "$payload_bytes" "$transfer_ms" 1000)
    block_rate=$(ratio "$blocks" "$transfer_ms" 1000)
    ceiling=$(awk -v r="$pair_rate" -v s="$size" 'BEGIN { printf "%.1f", r * s }')
    say "transfer size $size: request report 0xD0 of $report_length bytes carries" \
        "$(ratio "$size" "$report_length" 100)% payload; with the status report (7 bytes)" \
        "$(ratio "$size" $((report_length + 7)) 100)% of the bytes a block moves"
    say "  raw round trips/s: get-state $(best get-state 5 $raw_files)," \
        "set-request $(best set-request 5 $raw_files), block pair $pair_rate," \
        "output+input $(best output-input 5 $raw_files)"
    say "  library (blocks + manifestation): $payload_bytes bytes ($blocks blocks) in $transfer_ms ms:" \
        "$library_rate payload B/s, $block_rate blocks/s ="\
        "$(ratio "$block_rate" "$pair_rate" 100)% of the raw block-pair rate" \
        "(ceiling $ceiling B/s = block pairs/s x transfer size)"
    say "  hiddfu update: $ELAPSED_MS ms wall, exit $STATUS:" \
        "$(ratio "$payload_bytes" "$ELAPSED_MS" 1000) payload B/s (one-second polls)"
    rm -f raw*.txt lib*.txt "bench$size".*
done
echo "==== summary"
cat "$report"
