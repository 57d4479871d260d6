# e2e-timeout: 120
# A device that stays busy on its first block for ever: the library gives up
# once the busy wait has passed its 60 s bound (docs/protocol.md) and the
# update ends with "Upgrade failed (-2)" (timed out), after a download line
# a second all the while.
make_firmware fault 65536 2.0.0

update_against_fault busy -2 60000 75000 --busy-forever
expect_true "busy: about one download line a second ($DOWNLOAD_LINES)" [ "$DOWNLOAD_LINES" -ge 58 ]
expect_line_gaps_ms 800 1200
expect_true "busy: progress stays 0" [ "$LAST_PROGRESS" -eq 0 ]
sim_stop busy
