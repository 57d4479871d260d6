# update of a 64 KiB payload: 64 blocks of 1024 bytes, each kept busy for a
# 40 ms poll timeout, so the transfer takes at least 2.56 s and the tool
# writes a download line every second before the success line. Then the
# device's flash holds the payload byte for byte, it answers the new
# firmware version, and its log shows the download as the protocol has it:
# blocks 0 to 63 in order, each request report in its full declared length
# (6 + 1024 bytes), then the zero-length DNLOAD numbered 64.
make_firmware fw 65536 2.0.0
dfu_payload fw.dfu fw.payload
sim_start dev --flash "$PWD/dev.flash" --transfer-size 1024 --poll-timeout 40

run_hiddfu_timed update 1234-5678-0000 fw.dfu
expect_update_succeeded 1234-5678-0000 2
expect_line_gaps_ms 800 1200
# The transfer alone takes 64 x 40 ms: the success line comes with a later tick.
expect_line_at_ms "$(wc -l < stdout)" 2560 10000
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
expect_true "the data blocks carry wLength 1024, the last 0" \
    [ "$(cut -c 21-24 dnload.lines | sort | uniq -c | tr -s ' ' | tr '\n' '/')" = " 1 0000/ 64 0004/" ]
expect_true "every request report is 1030 bytes" \
    [ -z "$(awk 'length($2) != 2060' dnload.lines)" ]
