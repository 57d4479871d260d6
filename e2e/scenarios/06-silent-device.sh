# A device that never answers: get still succeeds, with an empty response,
# once the transport's 500 ms receive wait is over (and not much later): the
# document is written only after that wait. The device did receive the
# request.
sim_start mute --silent

run_hiddfu_timed get 1234-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "", "error": null}]}'
expect_stderr_empty
expect_line_at_ms 1 490 2500
expect_sim_received mute "$(request_report_hex version 64)"

# set reads no reply, so it has nothing to wait for.
run_hiddfu set 1234-5678-0000 version
expect_status 0
expect_stdout '{"control": [{"request": "version", "response": "", "error": null}]}'
expect_sim_received mute "$(request_report_hex version 64)" "$(request_report_hex version 64)"
