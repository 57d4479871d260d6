# reset names the device the user named: a vendor or product field above
# ffff matches no device (not the one its low 16 bits would name), as for
# get and update.
sim_start ffff --vid ffff --pid ffff --no-reenumerate
for identifier in 1ffff-ffff-0000 ffff-1ffff-0000 -1-ffff; do
    run_hiddfu reset "$identifier"
    expect_status 255
    expect_stdout_raw 'Unable to connect to device'
    expect_stderr_empty
done
expect_sim_received_nothing ffff
run_hiddfu reset ffff-ffff-0000
expect_status 0
expect_stdout_raw 'Resetting device...'
expect_true "ffff received the DETACH request" grep -q '^set-feature d000' ffff.simlog
sim_stop ffff
