# A USB device lost during the download ends the update with "Upgrade failed
# (-1)": one whose program leaves the bus at block 5 (the host's next
# transfer fails at once: EPROTO or ENODEV), and one that stops answering at
# block 5 (its DNLOAD is taken, the GETSTATUS after it runs into usbhid's
# 5 s control timeout: ETIMEDOUT) within the bound docs/protocol.md gives.
# e2e-timeout: 150
SIM_ATTACH_POLLS=3000
make_firmware fault 65536 2.0.0

update_against_fault gone -1 0 5000 --usb --vanish-at-block 5
sim_await_gone gone

# docs/protocol.md bounds a device that stops answering by two report
# timeouts after its last answer, plus hiddfu's one-second poll; this one
# took block 5's DNLOAD before falling silent, so only the GETSTATUS after it
# waits out usbhid's timeout (5.0-5.6 s here): the final line comes after one
# timeout and before a second one could have passed.
update_against_fault silent -1 4500 9000 --usb --silent-at-block 5
expect_line_at_ms "$(wc -l < stdout.times)" 4500 9000
expect_true "silent: progress $LAST_PROGRESS counts at most blocks 0..4" [ "$LAST_PROGRESS" -le 7 ]
sim_stop silent
