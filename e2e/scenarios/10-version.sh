# version: the version document with the version of the upgrade library the
# program loaded (libhiddfu.so from the image), as this build made it. No
# device is needed and none is touched.
expected_library_version=$(cat /e2e/data/library-version)
run_hiddfu version
expect_status 0
expect_stdout "{\"version\": {\"major\": 1, \"minor\": 0, \"qualifier\": \"win32beta1\", \"hid_dfu_dll_version\": \"$expected_library_version\"}}"
expect_stderr_empty

# The same with an upgradable device attached: it is not asked anything.
sim_start dev
run_hiddfu version
expect_status 0
expect_stdout "{\"version\": {\"major\": 1, \"minor\": 0, \"qualifier\": \"win32beta1\", \"hid_dfu_dll_version\": \"$expected_library_version\"}}"
expect_sim_received_nothing dev
