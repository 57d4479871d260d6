# e2e-timeout: 60
# The simulator's upgrade protocol through the kernel's real hidraw and uhid
# paths, driven by hand with hiddfu-hid-probe (no upgrade library involved):
# the declared feature lengths, the functional and status reports, a small
# download block by block, manifestation into the flash file and the new
# version, a stall, a silent device, a vanishing one, and re-enumeration
# after DETACH.

hex() {
    printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'
}

# probe EXPECTED ARGS...: runs hiddfu-hid-probe ARGS, checks its one output line.
probe() {
    expected=$1
    shift
    got=$(hiddfu-hid-probe "$@" 2>&1)
    if [ "$got" = "$expected" ]; then
        e2e_pass "hiddfu-hid-probe $* -> $got"
    else
        e2e_fail "hiddfu-hid-probe $* -> $got, expected $expected"
    fi
}

zeros_hex() {
    head -c "$1" /dev/zero | od -An -v -tx1 | tr -d ' \n'
}

# The DNLOAD request report for block N carrying TEXT (TEXT at most 8 bytes).
dnload_hex() {
    printf 'd001%02x00%02x00%s' "$1" "${#2}" "$(hex "$2")"
}

payload='hiddfu-sim firmware 2.0.0
'
printf '%s' "$payload" > expected.flash

sim_start dev --transfer-size 8 --poll-timeout 0 --manifest-timeout 0 \
    --detach-timeout 300 --flash "$PWD/flash.bin" --reply version=1.0.0

# 0xD0 is the longest feature report: 6 + 8 bytes.
hiddfu-hid-probe > list
expect_file_has_line list "0 1234:5678 in=65 out=65 feature=14"

# Functional: can download, manifestation tolerant, will detach; 300 ms; 8 bytes; 1.1.
probe "feature d20d2c0108001001" 0 --get-feature d2
probe "feature d1000000000200" 0 --get-feature d1
probe "feature d302" 0 --get-feature d3

# The payload in blocks of 8, each acknowledged in dfuDNLOAD-IDLE.
block=0
for chunk in 'hiddfu-s' 'im firmw' 'are 2.0.' '0
'; do
    probe ok 0 --set-feature "$(dnload_hex $block "$chunk")"
    probe "feature d1000000000500" 0 --get-feature d1
    block=$((block + 1))
done
expect_true "nothing flashed before manifestation" [ ! -e flash.bin ]

# Zero-length DNLOAD: manifestation, then dfuIDLE with the flash written.
probe ok 0 --set-feature "$(printf 'd001%02x000000' $block)"
probe "feature d1000000000700" 0 --get-feature d1
probe "feature d1000000000200" 0 --get-feature d1
expect_true "flash.bin holds the payload" cmp -s flash.bin expected.flash
expect_true "no temporary flash file left" [ ! -e flash.bin.tmp ]
probe "read 01$(hex 2.0.0)$(zeros_hex 59)" 0 "01$(hex version)"

# A request the state does not allow: the ioctl fails at once, dfuERROR
# errSTALLEDPKT, CLRSTATUS brings dfuIDLE back.
start=$(now_ms)
probe error 0 --set-feature d00400000000
ELAPSED_MS=$(( $(now_ms) - start ))
expect_elapsed_ms 0 2000
probe "feature d10f0000000a00" 0 --get-feature d1
probe ok 0 --set-feature d00400000000
probe "feature d1000000000200" 0 --get-feature d1
expect_file_has_line dev.simlog "set-feature d00400000000 stalled"
expect_file_has_line dev.simlog "get-feature d10f0000000a00"
expect_file_has_line dev.simlog "set-feature $(dnload_hex 0 'hiddfu-s')"

# DETACH (asking for 1000 ms, the device's own limit is 300): the device is
# destroyed and created again, announces its node a second time, and comes
# back with the flashed firmware.
announced() {
    grep -c '^hidraw' dev.simout
}
probe ok 0 --set-feature d000e8030000
for _ in $(seq 500); do [ "$(announced)" -ge 2 ] && [ -s dev.ready ] && break; usleep 10000; done
expect_true "re-enumerated: node announced again" [ "$(announced)" -eq 2 ]
expect_true "ready file written again" [ -s dev.ready ]
expect_file_has_line dev.simout "hiddfu-sim: DETACH: re-enumerating in 300 ms"
probe "read 01$(hex 2.0.0)$(zeros_hex 59)" 0 "01$(hex version)"
probe "feature d1000000000200" 0 --get-feature d1
sim_stop dev

# Silent from block 0: the kernel gives up after its 5 s wait.
sim_start quiet --silent-at-block 0
start=$(now_ms)
probe error 0 --set-feature "$(dnload_hex 0 abc)"
ELAPSED_MS=$(( $(now_ms) - start ))
expect_elapsed_ms 4500 8000
expect_file_has_line quiet.simlog "set-feature $(dnload_hex 0 abc) unanswered"
sim_stop quiet

# Vanishing at block 1: block 0 is taken, block 1 fails and the device is gone.
sim_start gone --vanish-at-block 1 --poll-timeout 0
probe ok 0 --set-feature "$(dnload_hex 0 abc)"
probe "feature d1000000000500" 0 --get-feature d1
probe error 0 --set-feature "$(dnload_hex 1 def)"
sim_await_gone gone
hiddfu-hid-probe > list
expect_file_lacks_line list "1234:5678"

# The largest transfer size uhid carries: 4090 data bytes in a 4096-byte
# request report, whole through hidraw and uhid.
sim_start big --transfer-size 4090 --poll-timeout 0
hiddfu-hid-probe > list
expect_file_has_line list "0 1234:5678 in=65 out=65 feature=4096"
probe "feature d20de803fa0f1001" 0 --get-feature d2
full_block="d0010000fa0f$(head -c 4090 /dev/zero | tr '\0' 'a' | od -An -v -tx1 | tr -d ' \n')"
probe ok 0 --set-feature "$full_block"
probe "feature d1000000000500" 0 --get-feature d1
expect_file_has_line big.simlog "set-feature $full_block"
sim_stop big

# The other faults as the host sees them through hidraw, after block 0.
fault_status_after_block0() {
    fault_name=$1 fault_status=$2  # (sh has no locals: probe sets $expected)
    shift 2
    sim_start "$fault_name" --poll-timeout 7 "$@"
    probe ok 0 --set-feature "$(dnload_hex 0 abc)"
    probe "$fault_status" 0 --get-feature d1
    sim_stop "$fault_name"
}
fault_status_after_block0 fail "feature d1070000000a00" --fail-at-block 0:7
fault_status_after_block0 busy "feature d1000700000400" --busy-forever
fault_status_after_block0 garbage "feature d100070000ee00" --garbage-status
fault_status_after_block0 short "feature d10007" --short-status

# Without DFU: no feature report declared, none answered.
sim_start plain --no-dfu
hiddfu-hid-probe > list
expect_file_has_line list "0 1234:5678 in=65 out=65 feature=0"
probe error 0 --set-feature d00600000000
sim_stop plain
