# update of a 1 MiB payload at the simulator's default transfer size (1024
# bytes, 1024 blocks) with a 2 ms poll timeout, which makes the transfer last
# over 2 s (the default 5 ms costs the suite seconds more under TCG):
# download lines a second apart, the success line, the flash equal to the
# payload, the new firmware version. The device keeps no report log here:
# logging 2 MiB of hex would slow the transfer down.
make_firmware fw 1048576 3.0.0
dfu_payload fw.dfu fw.payload
sim_start_unlogged dev --flash "$PWD/dev.flash" --poll-timeout 2

run_hiddfu_timed update 1234-5678-0000 fw.dfu
expect_update_succeeded 1234-5678-0000 2
expect_line_gaps_ms 800 1200
# 1024 poll waits of 2 ms at the least.
expect_line_at_ms "$(wc -l < stdout)" 2048 30000
expect_stderr_empty
expect_files_equal "the flash holds the payload" fw.payload dev.flash

run_hiddfu get 1234-5678-0000 version
expect_stdout '{"control": [{"request": "version", "response": "3.0.0", "error": null}]}'
