# No HID device at all: both actions record the connection failure and fail.
run_hiddfu get 1234-5678-0000 version
expect_status 255
expect_stdout '{"control": [{"request": "version", "response": null, "error": "Unable to connect to device"}]}'
expect_stderr_empty

run_hiddfu set 1234-5678-0000 reboot
expect_status 255
expect_stdout '{"control": [{"request": "reboot", "response": null, "error": "Unable to connect to device"}]}'
