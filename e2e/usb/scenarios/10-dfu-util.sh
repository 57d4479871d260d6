# dfu-util, a DFU host nobody here wrote, against the device core: hiddfu-sim
# --usb-dfu-class presents the core as a standard USB DFU interface (class
# FE/01/02 with its functional descriptor, wTransferSize 256) on gadgetfs.
# dfu-util -l lists it; dfu-util -D downloads a 64 KiB image into it (256
# blocks of 256 bytes) with exit status 0, the flash then equals the payload
# and the core saw blocks 0..255 in order; a device whose write of block 20
# fails with errWRITE (3) makes dfu-util stop there and print the state and
# status the core reported, and the flash keeps the old image. A device that
# falls silent or leaves the bus at block 20 makes dfu-util fail in bounded
# time, flash unchanged.
# e2e-timeout: 210
SIM_ATTACH_POLLS=3000
make_firmware fw 65536 2.0.0
dfu_payload fw.dfu fw.payload

# run_tool COMMAND...: runs a program that is not hiddfu: STATUS, its
# stdout in ./tool.out (carriage returns as line ends) and stderr in
# ./tool.err, shown in the log.
run_tool() {
    echo "\$ $*"
    "$@" > tool.raw 2> tool.err
    STATUS=$?
    tr '\r' '\n' < tool.raw > tool.out
    echo "  exit status $STATUS"
    show_file stdout tool.out
    show_file stderr tool.err
}

printf 'hiddfu-sim firmware 1.5.0\nthe image before the update\n' > dev.flash
sim_start dev --usb-dfu-class --flash "$PWD/dev.flash" --transfer-size 256 --poll-timeout 5
serial=hiddfu-sim-$(cat dev.pid)

run_tool dfu-util -l
expect_status 0
expect_true "dfu-util -l lists the device: 1234:5678, the interface's name, its serial number" \
    grep -q "^Found DFU: \[1234:5678\] ver=0100, devnum=[0-9]*, cfg=1, intf=0, path=\"[0-9-]*\", alt=0, name=\"hiddfu device core\", serial=\"$serial\"$" tool.out

run_tool dfu-util -d 1234:5678 -D fw.dfu
expect_status 0
expect_file_has_line tool.out "Download done."
expect_files_equal "the flash holds the payload" fw.payload dev.flash
grep '^dfu-out 01 ' dev.simlog | grep -v ' stalled' > dnload.lines
blocks=$(for number in $(awk 'NF == 4 { print $3 }' dnload.lines); do echo $((0x$number)); done |
         tr '\n' ' ')
expect_true "DNLOAD blocks 0..255 in order (got $(awk 'NF == 4' dnload.lines | wc -l) with data)" \
    [ "$blocks" = "$(seq 0 255 | tr '\n' ' ')" ]
expect_true "every block carried 256 bytes" [ -z "$(awk 'NF == 4 && length($4) != 512' dnload.lines)" ]
expect_true "the zero-length DNLOAD ended the download" grep -q '^dfu-out 01 [0-9a-f]*$' dev.simlog
sim_stop dev

printf 'hiddfu-sim firmware 1.5.0\nthe image before the update\n' > refused.flash
cp refused.flash refused.flash.before
sim_start refused --usb-dfu-class --flash "$PWD/refused.flash" --transfer-size 256 --poll-timeout 5 \
    --fail-at-block 20:3
run_tool dfu-util -d 1234:5678 -D fw.dfu
expect_true "dfu-util failed (exit status $STATUS)" [ "$STATUS" -ne 0 ]
expect_true "dfu-util printed the core's state and status: dfuERROR, errWRITE" \
    grep -q '^DFU state(10) = dfuERROR, status(3) = ' tool.out
expect_true "block 20 was the last one sent" \
    [ "$(grep '^dfu-out 01 ' refused.simlog | tail -n 1 | cut -d' ' -f3)" = 0014 ]
expect_true "GETSTATUS answered dfuERROR with errWRITE" grep -q '^dfu-in 03 030000000a00$' refused.simlog
expect_files_equal "the flash of refused is unchanged" refused.flash.before refused.flash
sim_stop refused

# The core's faults through the DFU class interface: a device that stops
# answering at block 20 (dfu-util's control transfer runs into its 5 s
# timeout) and one that leaves the bus at block 20. dfu-util fails in
# bounded time either way, and the flash keeps the old image.
for fault in silent vanish; do
    printf 'hiddfu-sim firmware 1.5.0\nthe image before the update\n' > "$fault.flash"
    cp "$fault.flash" "$fault.flash.before"
    sim_start "$fault" --usb-dfu-class --flash "$PWD/$fault.flash" --transfer-size 256 \
        --poll-timeout 5 "--$fault-at-block" 20
    start=$(now_ms)
    run_tool dfu-util -d 1234:5678 -D fw.dfu
    elapsed=$(( $(now_ms) - start ))
    expect_true "$fault: dfu-util failed (exit status $STATUS)" [ "$STATUS" -ne 0 ]
    expect_true "$fault: dfu-util gave up after $elapsed ms (at most 15000)" [ "$elapsed" -le 15000 ]
    expect_true "$fault: block 20 was the last one sent" \
        [ "$(grep '^dfu-out 01 ' "$fault.simlog" | tail -n 1 | cut -d' ' -f3)" = 0014 ]
    expect_files_equal "the flash of $fault is unchanged" "$fault.flash.before" "$fault.flash"
    if [ "$fault" = silent ]; then
        expect_true "silent: dfu-util's GETSTATUS timed out" grep -q 'get_status (LIBUSB_ERROR_TIMEOUT)' tool.err
        sim_stop silent
    else
        sim_await_gone vanish
    fi
done
