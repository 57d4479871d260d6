# A device with other ids is not reached: a different vendor, or the right
# vendor with a different product. The device receives nothing.
sim_start other --vid abcd --pid 5678 --reply version=9.9.9

run_hiddfu get 1234-5678-0000 version
expect_status 255
expect_stdout '{"control": [{"request": "version", "response": null, "error": "Unable to connect to device"}]}'

run_hiddfu get abcd-5679-0000 version
expect_status 255
expect_stdout '{"control": [{"request": "version", "response": null, "error": "Unable to connect to device"}]}'
expect_sim_received_nothing other

# The same device is reached by its own ids (so the misses above were not an
# absent device).
run_hiddfu get abcd-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "9.9.9", "error": null}]}'
