# update of a 1 MiB payload to a USB device: 1024 blocks of 1024 bytes with
# a 2 ms poll timeout; no report log (2 MiB of hex would slow the transfer).
# e2e-timeout: 240
SIM_ATTACH_POLLS=3000
make_firmware fw 1048576 3.0.0
dfu_payload fw.dfu fw.payload
sim_start_unlogged dev --usb --flash "$PWD/dev.flash" --poll-timeout 2

run_hiddfu_timed update 1234-5678-0000 fw.dfu
expect_update_succeeded 1234-5678-0000 2
expect_line_gaps_ms 800 1200
expect_line_at_ms "$(wc -l < stdout)" 2048 120000
expect_stderr_empty
expect_files_equal "the flash holds the payload" fw.payload dev.flash

run_hiddfu get 1234-5678-0000 version
expect_stdout '{"control": [{"request": "version", "response": "3.0.0", "error": null}]}'
