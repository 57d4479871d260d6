# An identifier field above ffff is valid but matches no device, not even one
# whose id equals the field's low 16 bits: ids are compared with all 32 bits.
sim_start ffff --vid ffff --pid 5678 --reply version=1.0.0

run_hiddfu get 1ffff-5678-0000 version
expect_status 255
expect_stdout '{"control": [{"request": "version", "response": null, "error": "Unable to connect to device"}]}'

run_hiddfu set ffff-15678-0000 version
expect_status 255
expect_stdout '{"control": [{"request": "version", "response": null, "error": "Unable to connect to device"}]}'
expect_sim_received_nothing ffff

run_hiddfu get ffff-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "1.0.0", "error": null}]}'

# An identifier whose vendor or product reads as 0 is refused before any
# device is looked for: the message has no line end and no document follows.
run_hiddfu get 0-5678-0 version
expect_status 255
expect_stdout_raw 'Invalid vid or pid 0 0x5678'
