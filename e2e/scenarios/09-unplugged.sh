# A device unplugged between two commands: the first reaches it, the second
# finds nothing to connect to.
sim_start dev --reply version=1.0.0
run_hiddfu get 1234-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "1.0.0", "error": null}]}'

sim_stop dev
run_hiddfu get 1234-5678-0000 version
expect_status 255
expect_stdout '{"control": [{"request": "version", "response": null, "error": "Unable to connect to device"}]}'

# The device removes itself right after the first request reaches it (as a
# device that resets would): the next command finds nothing. (The first
# command is a set: a get could lose the reply, since the receive asks the
# vanishing device for its report lengths before it reads.)
sim_start once --exit-after-outputs 1
run_hiddfu set 1234-5678-0000 reset
expect_status 0
expect_stdout '{"control": [{"request": "reset", "response": "", "error": null}]}'
sim_await_gone once
expect_sim_received once "$(request_report_hex reset 64)"
run_hiddfu get 1234-5678-0000 version
expect_status 255
expect_stdout '{"control": [{"request": "version", "response": null, "error": "Unable to connect to device"}]}'
