# The VM's kernel HID stack works on its own, before any project code is
# involved: a uhid device gets a hidraw node with the right ids and report
# descriptor, and reports pass both ways. When this fails, the other
# scenarios' failures say nothing about hiddfu.
echo "\$ e2e-kernel-hid-check"
e2e-kernel-hid-check > probe.out 2>&1
probe_status=$?
show_file output probe.out
expect_true "e2e-kernel-hid-check exits with status 0" [ "$probe_status" -eq 0 ]
expect_file_has_line probe.out "kernel-hid-check: output report arrived intact, report id first"
expect_file_has_line probe.out "kernel-hid-check: input report read back as one report of 65 bytes"
expect_file_has_line probe.out "kernel-hid-check: OK"
