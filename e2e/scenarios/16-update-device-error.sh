# A device that reports an error status during the download: the update ends
# with "Upgrade failed (S)", S the device's DFU status (docs/protocol.md,
# Results), after the download lines so far, whose progress never counts the
# failed block; the flash keeps the old image and the device its old
# version; the host sent no block after the failed one and cleared the error
# (CLRSTATUS, request 4) so that the device can take a retry.
# 64 blocks of 1024 bytes, 40 ms poll timeout each.
make_firmware fault 65536 2.0.0

# expect_block_error DEVICE BLOCK[:STATUS] RESULT MAX_MS MIN_DOWNLOAD_LINES
expect_block_error() {
    name=$1 fault=$2 result=$3 max_ms=$4 min_lines=$5
    update_against_fault "$name" "$result" 0 "$max_ms" \
        --transfer-size 1024 --poll-timeout 40 --fail-at-block "$fault" || return
    failed_block=${fault%%:*}
    if [ "$min_lines" -gt 0 ]; then
        expect_true "$name: at least $min_lines download line(s)" [ "$DOWNLOAD_LINES" -ge "$min_lines" ]
    fi
    expect_true "$name: progress $LAST_PROGRESS stays below block $failed_block's share" \
        [ "$LAST_PROGRESS" -le $((failed_block * 100 / 64)) ]
    expect_file_lacks_line "$name.simlog" "^set-feature d001$(printf '%02x00' $((failed_block + 1)))"
    expect_true "$name was sent CLRSTATUS" grep -q '^set-feature d004' "$name.simlog"
    run_hiddfu get 1234-5678-0000 version
    expect_stdout '{"control": [{"request": "version", "response": "1.5.0", "error": null}]}'
    sim_stop "$name"
}

# The first block fails with the default errWRITE; a late block (about 1.7 s
# in) with errPROG; a middle one with errSTALLEDPKT.
expect_block_error first 0 3 4000 0
expect_block_error late 40:6 6 6000 1
expect_block_error stall 20:15 15 6000 0
