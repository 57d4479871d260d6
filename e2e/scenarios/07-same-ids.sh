# Two devices with the same ids: the first in enumeration order (attached
# first, so the lower hidraw number) answers, and the second receives
# nothing. Once the first is unplugged the second answers.
sim_start first --reply version=from-first
sim_start second --reply version=from-second

run_hiddfu get 1234-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "from-first", "error": null}]}'
expect_sim_received first "$(request_report_hex version 64)"
expect_sim_received_nothing second

sim_stop first
run_hiddfu get 1234-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "from-second", "error": null}]}'
expect_sim_received second "$(request_report_hex version 64)"
