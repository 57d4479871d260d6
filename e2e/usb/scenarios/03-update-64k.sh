# update of a 64 KiB payload to a USB device: 64 blocks of 1024 bytes, each
# a 1030-byte SET_REPORT, kept busy for a 40 ms poll timeout. The flash then
# holds the payload byte for byte, the device answers the new version, and
# its log shows blocks 0 to 64 in order.
# e2e-timeout: 150
SIM_ATTACH_POLLS=3000
make_firmware fw 65536 2.0.0
dfu_payload fw.dfu fw.payload
sim_start dev --usb --flash "$PWD/dev.flash" --transfer-size 1024 --poll-timeout 40

run_hiddfu get 1234-5678-0000 version
expect_stdout '{"control": [{"request": "version", "response": "1.0.0", "error": null}]}'

run_hiddfu_timed update 1234-5678-0000 fw.dfu
expect_update_succeeded 1234-5678-0000 2
expect_line_gaps_ms 800 1200
expect_line_at_ms "$(wc -l < stdout)" 2560 20000
expect_stderr_empty
expect_files_equal "the flash holds the payload" fw.payload dev.flash

run_hiddfu get 1234-5678-0000 version
expect_stdout '{"control": [{"request": "version", "response": "2.0.0", "error": null}]}'

grep '^set-feature d001' dev.simlog > dnload.lines
blocks=$(cut -c 17-20 dnload.lines | while read -r number; do
             echo $(( 0x${number#??} * 256 + 0x${number%??} ))
         done | tr '\n' ' ')
expect_true "DNLOAD blocks 0..64 in order (got: $blocks)" \
    [ "$blocks" = "$(seq 0 64 | tr '\n' ' ')" ]
expect_true "every request report is 1030 bytes" \
    [ -z "$(awk 'length($2) != 2060' dnload.lines)" ]
