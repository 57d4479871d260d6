# A USB device lost during the download ends the update with "Upgrade failed
# (-1)": one whose program leaves the bus at block 5 (the host's next
# transfer fails at once: EPROTO or ENODEV), and one that stops answering at
# block 5 (its DNLOAD is taken, the GETSTATUS after it runs into usbhid's
# 5 s control timeout: ETIMEDOUT).
# e2e-timeout: 150
SIM_ATTACH_POLLS=3000
make_firmware fault 65536 2.0.0

update_against_fault gone -1 0 5000 --usb --vanish-at-block 5
sim_await_gone gone

update_against_fault silent -1 4500 15000 --usb --silent-at-block 5
expect_true "silent: progress $LAST_PROGRESS counts at most blocks 0..4" [ "$LAST_PROGRESS" -le 7 ]
sim_stop silent
