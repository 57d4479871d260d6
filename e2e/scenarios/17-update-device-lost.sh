# A device that is lost during the download ends the update with "Upgrade
# failed (-1)" (device lost, docs/protocol.md): one that stops answering at
# block 5 (the kernel gives up on each feature report after 5 s; the failed
# DNLOAD and the GETSTATUS after it cost two of those), and one that leaves
# the bus at block 5.
make_firmware fault 65536 2.0.0

update_against_fault silent -1 9000 16000 --silent-at-block 5
expect_true "silent: progress $LAST_PROGRESS counts at most blocks 0..4" [ "$LAST_PROGRESS" -le 7 ]
expect_line_gaps_ms 800 1200
sim_stop silent

update_against_fault gone -1 0 5000 --vanish-at-block 5
sim_await_gone gone
