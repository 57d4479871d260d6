# A device that refuses block 20 with errSTALLEDPKT: the update ends with
# "Upgrade failed (15)" and the flash keeps the old image, both when the
# device refuses the block by its content and when it stalls the transfer.
# Over USB a device that decides from the data has taken the SET_REPORT's
# data before its model decides, so that refusal cannot be a stall: the SET
# succeeds and the next GETSTATUS reports dfuERROR with status 15. A stall
# is decided from the setup packet alone (--stall-at-block): usbhid gives
# EPIPE and the host asks GETSTATUS why, with the same result. Garbled and short status
# reports are protocol violations (-3) over USB as through uhid.
# e2e-timeout: 120
SIM_ATTACH_POLLS=3000
make_firmware fault 65536 2.0.0

update_against_fault refused 15 0 20000 --usb --transfer-size 1024 --poll-timeout 40 --fail-at-block 20:15
expect_true "progress $LAST_PROGRESS stays below block 20's share" [ "$LAST_PROGRESS" -le 31 ]
expect_file_lacks_line refused.simlog '^set-feature d0011500'
expect_true "refused was sent CLRSTATUS" grep -q '^set-feature d004' refused.simlog
run_hiddfu get 1234-5678-0000 version
expect_stdout '{"control": [{"request": "version", "response": "1.5.0", "error": null}]}'
sim_stop refused

# The same refusal as a real stall: the device stalls the SET_REPORT that
# would carry block 20 from its setup packet, without reading its data.
# usbhid fails the ioctl with EPIPE, the library's GETSTATUS finds dfuERROR
# with errSTALLEDPKT, and the result is again "Upgrade failed (15)".
update_against_fault stalled 15 0 20000 --usb --transfer-size 1024 --poll-timeout 40 --stall-at-block 20
expect_true "progress $LAST_PROGRESS stays below block 20's share" [ "$LAST_PROGRESS" -le 31 ]
expect_file_has_line stalled.simlog 'set-feature d0 stalled'
expect_file_lacks_line stalled.simlog '^set-feature d0011400'
expect_true "stalled answered GETSTATUS with dfuERROR, errSTALLEDPKT" grep -q '^get-feature d10f0000000a00$' stalled.simlog
expect_true "stalled was sent CLRSTATUS" grep -q '^set-feature d004' stalled.simlog
sim_stop stalled

# Status reports that break the protocol once the download has begun, now as
# short and garbled USB control transfers: a state out of range, and a
# GET_REPORT answered with 3 bytes of the 7 asked for (a short IN transfer,
# which usbhid hands up as it came). Both end in "Upgrade failed (-3)".
for fault in --garbage-status --short-status; do
    update_against_fault bad -3 0 5000 --usb "$fault"
    sim_stop bad
done
