# update's early failures through the real program: each writes exactly one
# failure line with progress 0 and exits 255. The file is checked before the
# device is touched, so the device receives nothing in the first rows; a
# device the library refuses to download to receives no request.
make_firmware good 4096 2.0.0
make_firmware other-product 4096 2.0.0 -p 9999
make_firmware empty 0
# One payload byte changed: the suffix's CRC no longer matches.
cp good.dfu corrupt.dfu
printf 'X' | dd of=corrupt.dfu bs=1 seek=100 conv=notrunc 2> /dev/null

sim_start dev
# identifier | file | error text
while IFS='|' read -r identifier file error; do
    run_hiddfu update "$identifier" "$file"
    expect_stdout "$(transfer_line "$identifier" 0 -1 "$error")"
    expect_status 255
    expect_stderr_empty
done <<'TABLE'
1234-5678-0000|missing.dfu|Unable to load firmware file
1234-5678-0000|corrupt.dfu|Unable to load firmware file
1234-5678-0000|other-product.dfu|Firmware file not valid for the target device
1234-9999-0000|good.dfu|Firmware file not valid for the target device
0-5678-0|good.dfu|Invalid device identifier
1234-9999-0000|other-product.dfu|Unable to connect to device
TABLE
expect_sim_received_nothing dev

# An empty payload passes the tool's file check; the library refuses it
# before sending anything.
run_hiddfu update 1234-5678-0000 empty.dfu
expect_stdout "$(transfer_line 1234-5678-0000 0 -1 'Unable to upgrade connected device')"
expect_status 255
expect_file_lacks_line dev.simlog '^set-feature'
sim_stop dev

# A device that cannot download (bitCanDnload clear) is connected, then
# refused.
sim_start nodownload --no-download
run_hiddfu update 1234-5678-0000 good.dfu
expect_stdout "$(transfer_line 1234-5678-0000 0 -1 'Unable to upgrade connected device')"
expect_status 255
expect_file_lacks_line nodownload.simlog '^set-feature'
sim_stop nodownload

# No upgradable device: none at all, and one without the DFU reports.
run_hiddfu update 1234-5678-0000 good.dfu
expect_stdout "$(transfer_line 1234-5678-0000 0 -1 'Unable to connect to device')"
expect_status 255
sim_start plain --no-dfu
run_hiddfu update 1234-5678-0000 good.dfu
expect_stdout "$(transfer_line 1234-5678-0000 0 -1 'Unable to connect to device')"
expect_status 255
expect_sim_received_nothing plain
