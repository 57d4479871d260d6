# A name that does not fit the output report (its length + the report id
# byte exceeds the report length: 9 characters for 8 data bytes) is not
# sent, and the command fails: the device never got the request. One
# character less fills the report exactly and is sent.
sim_start small --output-bytes 8 --reply abcdefghi=too-long --reply abcdefgh=fits

run_hiddfu set 1234-5678-0000 abcdefghi
expect_status 255
expect_stdout '{"control": [{"request": "abcdefghi", "response": null, "error": "Unable to send request"}]}'
expect_sim_received_nothing small

# get with a name that is not sent: it fails the same way and reads nothing.
run_hiddfu get 1234-5678-0000 abcdefghi
expect_status 255
expect_stdout '{"control": [{"request": "abcdefghi", "response": null, "error": "Unable to send request"}]}'
expect_sim_received_nothing small

run_hiddfu get 1234-5678-0000 abcdefgh
expect_status 0
expect_stdout '{"control": [{"request": "abcdefgh", "response": "fits", "error": null}]}'
expect_sim_received small "$(request_report_hex abcdefgh 8)"
