# The walk-through (demo-steps.sh) in the VM; it passes when the update
# worked and the device then answers version 2.0.0.
sh /e2e/data/demo-steps.sh
expect_true "the demo's update worked" [ $? -eq 0 ]
