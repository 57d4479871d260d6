# When the library refuses to start an upgrade, the line stays "Unable to
# upgrade connected device" and one line on standard error says why; the
# device receives no download request.
make_firmware good 4096 2.0.0
make_firmware empty 0

# refused NAME FILE REASON [hiddfu-sim options]
refused() {
    name=$1 file=$2 reason=$3
    shift 3
    sim_start "$name" "$@" || return 1
    run_hiddfu update 1234-5678-0000 "$file"
    expect_status 255
    expect_stdout "$(transfer_line 1234-5678-0000 0 -1 'Unable to upgrade connected device')"
    expect_true "stderr: $reason" [ "$(cat stderr)" = "Upgrade refused: $reason" ]
    expect_file_lacks_line "$name.simlog" '^set-feature'
    sim_stop "$name"
}

refused nodownload good.dfu \
    "the device's DFU functional report has bitCanDnload clear (the device does not accept downloads)" \
    --no-download
refused zero good.dfu "the device's DFU functional report gives a wTransferSize of 0" \
    --announce-transfer-size 0
refused toolarge good.dfu \
    "the device's wTransferSize is larger than its DFU request report can carry" \
    --transfer-size 64 --announce-transfer-size 65
refused emptyfile empty.dfu "the DFU file has no firmware payload to download"
