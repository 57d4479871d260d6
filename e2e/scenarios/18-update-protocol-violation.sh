# A device whose status reports are garbage once the download has begun ends
# the update with "Upgrade failed (-3)" (protocol violation,
# docs/protocol.md): a state out of range, and a report too short to hold
# the six status bytes.
make_firmware fault 65536 2.0.0

for fault in --garbage-status --short-status; do
    update_against_fault bad -3 0 5000 "$fault"
    sim_stop bad
done
