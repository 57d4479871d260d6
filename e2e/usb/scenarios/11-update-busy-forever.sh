# e2e-timeout: 120
# A USB device that stays busy on its first block for ever: every GETSTATUS
# is a completed control transfer answering dfuDNBUSY, so the library gives
# up once the busy wait has passed its 60 s bound (docs/protocol.md) and the
# update ends with "Upgrade failed (-2)", after a download line a second all
# the while, as through uhid.
SIM_ATTACH_POLLS=3000
make_firmware fault 65536 2.0.0

update_against_fault busy -2 60000 75000 --usb --busy-forever
expect_true "busy: about one download line a second ($DOWNLOAD_LINES)" [ "$DOWNLOAD_LINES" -ge 58 ]
expect_line_gaps_ms 800 1200
expect_true "busy: progress stays 0" [ "$LAST_PROGRESS" -eq 0 ]
sim_stop busy
