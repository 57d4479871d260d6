# The VM's kernel HID stack works on its own, before any project code is
# involved: a uhid device gets a hidraw node with the right ids and report
# descriptor, and reports pass both ways. When this fails, the other
# scenarios' failures say nothing about hiddfu.
echo "\$ e2e-uhid-probe"
e2e-uhid-probe > probe.out 2>&1
probe_status=$?
show_file output probe.out
expect_true "e2e-uhid-probe exits with status 0" [ "$probe_status" -eq 0 ]
expect_file_has_line probe.out "uhid-probe: output report arrived intact, report id first"
expect_file_has_line probe.out "uhid-probe: input report read back as one report of 65 bytes"
expect_file_has_line probe.out "uhid-probe: OK"
