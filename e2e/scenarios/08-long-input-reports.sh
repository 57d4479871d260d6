# Input reports longer than 100 bytes: hiddfu sizes its reply buffer to the
# report, so a reply that fills every data byte (no terminating zero in the
# report) comes back whole, with nothing read past it. Reports longer than
# 255 bytes work the same way.
text120=$(printf '%0120d' 0 | tr 0 A)
text150=$(printf '%0150d' 0 | tr 0 B)
text300=$(printf '%0300d' 0 | tr 0 C)
text400=$(printf '%0400d' 0 | tr 0 D)
# What the device sends of the longer texts: their first 120 and 300 bytes.
text150_cut=$(printf '%0120d' 0 | tr 0 B)
text400_cut=$(printf '%0300d' 0 | tr 0 D)

sim_start wide --input-bytes 120 --reply full="$text120" --reply over="$text150" --reply short=abc
run_hiddfu get 1234-5678-0000 full
expect_status 0
expect_stdout "{\"control\": [{\"request\": \"full\", \"response\": \"$text120\", \"error\": null}]}"
# The device cuts a longer text to its 120 data bytes.
run_hiddfu get 1234-5678-0000 over
expect_status 0
expect_stdout "{\"control\": [{\"request\": \"over\", \"response\": \"$text150_cut\", \"error\": null}]}"
run_hiddfu get 1234-5678-0000 short
expect_status 0
expect_stdout '{"control": [{"request": "short", "response": "abc", "error": null}]}'
sim_stop wide

sim_start huge --input-bytes 300 --output-bytes 300 --reply full="$text300" --reply over="$text400"
run_hiddfu get 1234-5678-0000 full
expect_status 0
expect_stdout "{\"control\": [{\"request\": \"full\", \"response\": \"$text300\", \"error\": null}]}"
run_hiddfu get 1234-5678-0000 over
expect_status 0
expect_stdout "{\"control\": [{\"request\": \"over\", \"response\": \"$text400_cut\", \"error\": null}]}"
expect_sim_received huge "$(request_report_hex full 300)" "$(request_report_hex over 300)"
