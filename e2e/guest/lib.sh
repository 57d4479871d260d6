# Helpers for the end-to-end scenarios (busybox sh, sourced).
#
# A scenario is a file under e2e/scenarios, named NN-name.sh, that the VM runs
# in a fresh working folder with this file sourced. It starts simulated
# devices, runs hiddfu and checks what came out with the expect_* helpers.
# Every check is counted; the scenario passes when it made at least one check
# and none failed. A failed check does not stop the scenario, so its log shows
# every mismatch. A scenario must not call exit. A line "# e2e-timeout: S"
# in the scenario gives it S seconds instead of the default 90.
#
#   sim_start NAME [hiddfu-sim options]  attach a simulated device
#   sim_stop NAME                        unplug it (end the simulator)
#   sim_await_gone NAME                  wait for a simulator that ends itself
#   request_report_hex TEXT DATA_BYTES   the output report a request makes
#   expect_sim_received NAME HEX...      the device got exactly these output
#                                        reports
#   expect_sim_received_nothing NAME     it got no report at all
#   run_hiddfu ARGS...                   run the tool: STATUS, ELAPSED_MS,
#                                        stdout in ./stdout, stderr in ./stderr
#   run_hiddfu_timed ARGS...             the same, with each stdout line's
#                                        arrival time in ./stdout.times
#   expect_status N
#   expect_stdout LINE...                stdout is exactly these lines
#   expect_stdout_raw TEXT               stdout is exactly TEXT (no line end)
#   expect_stderr_empty
#   expect_elapsed_ms MIN MAX
#   expect_line_at_ms N MIN MAX          line N arrived MIN..MAX ms after start
#   expect_line_gaps_ms MIN MAX          lines arrived MIN..MAX ms apart
#   expect_file_has_line FILE LINE       FILE holds LINE as a whole line
#   expect_file_lacks_line FILE REGEX    no line of FILE matches REGEX
#   expect_true DESCRIPTION COMMAND...   COMMAND succeeds
#
# Firmware updates (hiddfu-sim's DFU side, docs/protocol.md):
#   make_firmware NAME BYTES [VERSION [MKDFU OPTIONS]]
#                                        NAME.dfu for 1234:5678 with a random
#                                        payload of BYTES bytes
#   dfu_payload FILE.dfu OUT             the payload: the file minus its trailer
#   transfer_line IDENTIFIER PROGRESS STATE ERROR
#                                        one line of the update's document
#   expect_update_succeeded IDENTIFIER MIN_DOWNLOAD_LINES
#   expect_update_failed IDENTIFIER RESULT
#                                        the lines of the last timed update
#   expect_files_equal DESCRIPTION A B   A and B hold the same bytes
#   update_against_fault NAME RESULT MIN_MS MAX_MS [hiddfu-sim options]
#                                        an update of fault.dfu to a faulty
#                                        device ends with that failure
#   sim_await_reattached NAME            wait for a device that re-enumerates

E2E_CHECKS=0
E2E_FAILURES=0
# How long sim_start waits for the device's hidraw node, in 10 ms steps: a
# USB device needs its enumeration, which a loaded host slows down.
SIM_ATTACH_POLLS=${SIM_ATTACH_POLLS:-500}

e2e_pass() {
    E2E_CHECKS=$((E2E_CHECKS + 1))
    echo "  ok: $*"
}

e2e_fail() {
    E2E_CHECKS=$((E2E_CHECKS + 1))
    E2E_FAILURES=$((E2E_FAILURES + 1))
    echo "  CHECK FAILED: $*"
}

# Milliseconds since boot, to 10 ms (the resolution of /proc/uptime).
now_ms() {
    read -r up _ < /proc/uptime
    hundredths=${up#*.}
    echo $(( ${up%.*} * 1000 + ${hundredths#0} * 10 ))
}

# Shows a file in the log, marking where it ends and whether it ended with a
# line end, so that an exact-output mismatch is visible.
show_file() {
    label=$1 file=$2
    if [ ! -s "$file" ]; then
        echo "  $label: (empty)"
        return
    fi
    echo "  $label:"
    sed 's/^/    | /' "$file"
    [ -n "$(tail -c 1 "$file")" ] && echo "    (no line end at the end)"
}

# ---- devices ---------------------------------------------------------------

# True while the process runs; a child that has ended but is not yet waited
# for (a zombie) counts as ended.
process_running() {
    [ -r "/proc/$1/stat" ] || return 1
    state=
    read -r _ _ state _ 2>/dev/null < "/proc/$1/stat"
    [ -n "$state" ] && [ "$state" != Z ]
}

# A simulator's state lives in files named after it in the working folder:
# NAME.simlog (every output report it received, one hex line each),
# NAME.ready (its hidraw node, while attached), NAME.node (the same, kept),
# NAME.simout (its own output), NAME.pid.

# sim_start NAME [options]: attaches a simulated device: starts hiddfu-sim
# with the options (with --usb: a USB device) and waits until it reports its
# hidraw node (the VM stops
# it after the scenario if the scenario did not). Devices attached one after the other get hidraw numbers, and so
# enumeration positions, in that order.
sim_start() {
    name=$1
    shift
    sim_launch "$name" "$@" --log "$PWD/$name.simlog"
}

# sim_start_unlogged NAME [options]: the same without the report log, for
# transfers whose timing matters (the log writes every report in hex).
sim_start_unlogged() {
    sim_launch "$@"
}

sim_launch() {
    name=$1
    shift
    rm -f "$name.ready" "$name.simlog"
    echo "\$ hiddfu-sim $* --ready-file $name.ready &"
    hiddfu-sim "$@" --ready-file "$PWD/$name.ready" > "$name.simout" 2>&1 &
    pid=$!
    echo "$pid" > "$name.pid"
    for _ in $(seq "$SIM_ATTACH_POLLS"); do
        if [ -s "$name.ready" ]; then
            # Kept apart: the simulator removes its ready file when it ends.
            cp "$name.ready" "$name.node"
            echo "  simulator $name (pid $pid) attached as $(cat "$name.node")"
            return 0
        fi
        if ! process_running "$pid"; then
            e2e_fail "simulator $name exited before attaching"
            show_file "its output" "$name.simout"
            return 1
        fi
        usleep 10000
    done
    e2e_fail "simulator $name attached no hidraw node within $((SIM_ATTACH_POLLS / 100)) s"
    show_file "its output" "$name.simout"
    return 1
}

sim_node() {
    cat "$1.node" 2>/dev/null
}

# Waits (up to 5 s) until the simulator NAME has ended and its hidraw node is
# gone; fails the scenario otherwise.
sim_await_gone() {
    name=$1
    pid=$(cat "$name.pid")
    node=$(sim_node "$name")
    for _ in $(seq 500); do
        if ! process_running "$pid" && [ ! -e "/sys/class/hidraw/$node" ]; then
            wait "$pid" 2>/dev/null
            echo "  simulator $name detached ($node gone)"
            return 0
        fi
        usleep 10000
    done
    e2e_fail "simulator $name still attached 5 s later"
    return 1
}

# sim_stop NAME: unplugs the device by ending its simulator.
sim_stop() {
    echo "\$ kill $(cat "$1.pid")  # unplug $1"
    kill -TERM "$(cat "$1.pid")" 2>/dev/null
    sim_await_gone "$1"
}

# The report the device receives for a request TEXT on an output report of
# DATA_BYTES data bytes, as the simulator logs it: report id 1, the text's
# bytes, zeros up to the report length, in lowercase hex.
request_report_hex() {
    text=$1 data_bytes=$2
    text_hex=$(printf '%s' "$text" | od -An -v -tx1 | tr -d ' \n')
    zeros=$(head -c $((data_bytes - ${#text})) /dev/zero | od -An -v -tx1 | tr -d ' \n')
    echo "01$text_hex$zeros"
}

# expect_sim_received NAME LINE...: the simulator received exactly these
# output reports, in this order (LINEs as request_report_hex gives them).
# The feature reports it also logs ("set-feature HEX", "get-feature HEX")
# are left out of the comparison.
expect_sim_received() {
    name=$1
    shift
    printf '%s\n' "$@" > "$name.expected"
    grep -v -e '^set-feature ' -e '^get-feature ' "$name.simlog" > "$name.outputs" 2>/dev/null
    if cmp -s "$name.outputs" "$name.expected"; then
        e2e_pass "$name received exactly the expected $# report(s)"
    else
        e2e_fail "$name did not receive exactly the expected $# report(s)"
        show_file "output reports received" "$name.outputs"
        show_file "expected" "$name.expected"
    fi
}

# expect_sim_received_nothing NAME: no report of any kind reached the
# simulator: no output report, and no feature report set or got.
expect_sim_received_nothing() {
    if [ ! -s "$1.simlog" ]; then
        e2e_pass "$1 received no report"
    else
        e2e_fail "$1 received reports"
        show_file "received" "$1.simlog"
    fi
}

# ---- running the tool ------------------------------------------------------

# Appends this run's stdout to ./hiddfu.stdout, which init.sh hands back
# with the results: the host checks every JSON line of every run against
# the schemas in docs/schema. reset's texts end without a line end; one is
# added so that the next run's output starts a line.
keep_stdout() {
    cat stdout >> hiddfu.stdout
    if [ -n "$(tail -c 1 stdout)" ]; then echo >> hiddfu.stdout; fi
}

run_hiddfu() {
    echo "\$ hiddfu $*"
    start=$(now_ms)
    hiddfu "$@" > stdout 2> stderr
    STATUS=$?
    keep_stdout
    ELAPSED_MS=$(( $(now_ms) - start ))
    echo "  exit status $STATUS after $ELAPSED_MS ms"
    show_file stdout stdout
    show_file stderr stderr
}

# run_hiddfu_timed ARGS...: as run_hiddfu, and also records when each stdout
# line arrived, in ms after the start, in ./stdout.times ("MS LINE"). For
# commands that write lines over time. A last line without a line end gets
# one in ./stdout.
run_hiddfu_timed() {
    echo "\$ hiddfu $*  (stdout lines timed)"
    : > stdout
    : > stdout.times
    start=$(now_ms)
    { hiddfu "$@" 2> stderr; echo $? > status.timed; } |
        while IFS= read -r line || [ -n "$line" ]; do
            echo "$(( $(now_ms) - start )) $line" >> stdout.times
            printf '%s\n' "$line" >> stdout
        done
    STATUS=$(cat status.timed)
    keep_stdout
    ELAPSED_MS=$(( $(now_ms) - start ))
    echo "  exit status $STATUS after $ELAPSED_MS ms"
    show_file "stdout lines, ms after start" stdout.times
    show_file stderr stderr
}

# ---- checks ----------------------------------------------------------------

expect_status() {
    if [ "$STATUS" -eq "$1" ]; then
        e2e_pass "exit status $1"
    else
        e2e_fail "exit status $STATUS, expected $1"
    fi
}

expect_stdout() {
    printf '%s\n' "$@" > expected.stdout
    if cmp -s stdout expected.stdout; then
        e2e_pass "stdout is exactly the expected $# line(s)"
    else
        e2e_fail "stdout differs from the expected text"
        show_file expected expected.stdout
    fi
}

expect_stdout_raw() {
    printf '%s' "$1" > expected.stdout
    if cmp -s stdout expected.stdout; then
        e2e_pass "stdout is exactly \"$1\" with no line end"
    else
        e2e_fail "stdout differs from the expected text"
        show_file expected expected.stdout
    fi
}

expect_stderr_empty() {
    if [ ! -s stderr ]; then
        e2e_pass "nothing on stderr"
    else
        e2e_fail "unexpected output on stderr"
    fi
}

expect_elapsed_ms() {
    if [ "$ELAPSED_MS" -ge "$1" ] && [ "$ELAPSED_MS" -le "$2" ]; then
        e2e_pass "took $ELAPSED_MS ms, within $1..$2 ms"
    else
        e2e_fail "took $ELAPSED_MS ms, expected $1..$2 ms"
    fi
}

expect_file_has_line() {
    if grep -qxF -- "$2" "$1" 2>/dev/null; then
        e2e_pass "$(basename "$1") has the line: $2"
    else
        e2e_fail "$(basename "$1") lacks the line: $2"
        show_file "$(basename "$1")" "$1"
    fi
}

expect_file_lacks_line() {
    if ! grep -qE -- "$2" "$1" 2>/dev/null; then
        e2e_pass "$(basename "$1") has no line matching: $2"
    else
        e2e_fail "$(basename "$1") has a line matching: $2"
        show_file "$(basename "$1")" "$1"
    fi
}

expect_true() {
    description=$1
    shift
    if "$@"; then
        e2e_pass "$description"
    else
        e2e_fail "$description"
    fi
}

# expect_line_at_ms N MIN MAX: line N (from 1) of the last run_hiddfu_timed
# arrived MIN..MAX ms after the start.
expect_line_at_ms() {
    at=$(sed -n "$1{s/ .*//;p}" stdout.times)
    if [ -n "$at" ] && [ "$at" -ge "$2" ] && [ "$at" -le "$3" ]; then
        e2e_pass "line $1 arrived after $at ms, within $2..$3 ms"
    else
        e2e_fail "line $1 arrived after ${at:-(no such line)} ms, expected $2..$3 ms"
    fi
}

# expect_line_gaps_ms MIN MAX: consecutive lines of the last run_hiddfu_timed
# arrived MIN..MAX ms apart (needs at least two lines).
expect_line_gaps_ms() {
    gaps=$(awk 'NR > 1 { printf "%d ", $1 - previous } { previous = $1 }' stdout.times)
    bad=$(for gap in $gaps; do
              if [ "$gap" -lt "$1" ] || [ "$gap" -gt "$2" ]; then echo "$gap"; fi
          done)
    if [ -n "$gaps" ] && [ -z "$bad" ]; then
        e2e_pass "lines arrived $1..$2 ms apart (gaps: $gaps)"
    else
        e2e_fail "line gaps not all within $1..$2 ms (gaps: ${gaps:-none})"
    fi
}

# ---- firmware updates --------------------------------------------------------

# make_firmware NAME BYTES [VERSION [MKDFU OPTIONS...]]: writes NAME.dfu, a
# DFU file for 1234:5678 (mkdfu's -v/-p; further mkdfu options follow the
# version) holding a random payload of BYTES bytes. With a VERSION (give ""
# for none) the payload starts with the line "hiddfu-sim firmware VERSION",
# from which the simulator takes the firmware version it answers once the
# image has manifested.
make_firmware() {
    name=$1 bytes=$2 version=${3:-}
    shift 2
    [ $# -gt 0 ] && shift
    {
        [ -n "$version" ] && printf 'hiddfu-sim firmware %s\n' "$version"
        head -c "$bytes" /dev/urandom
    } | head -c "$bytes" > "$name.bin"
    if ! mkdfu -v 1234 -p 5678 "$@" "$name.bin" "$name.dfu" > "$name.mkdfu" 2>&1; then
        e2e_fail "mkdfu could not make $name.dfu"
        show_file "its output" "$name.mkdfu"
        return 1
    fi
}

# dfu_payload FILE.dfu OUT: the bytes the device is meant to receive, the
# file without its 16-byte suffix (the files made here carry no aux data).
dfu_payload() {
    head -c $(( $(wc -c < "$1") - 16 )) "$1" > "$2"
}

# transfer_line IDENTIFIER PROGRESS STATE ERROR: one line of the update's
# transfer document. PROGRESS is a whole number (written as a real, N.0);
# ERROR is a text, or null.
transfer_line() {
    error=null
    [ "$4" != null ] && error="\"$4\""
    printf '{"transfer": {"identifier": "%s", "progress": %s.0, "state": %s, "error": %s}}\n' \
        "$1" "$2" "$3" "$error"
}

# Checks the lines of the last run_hiddfu_timed before its last one: each a
# kStateDownload (3) line for IDENTIFIER whose progress is a whole 0..99 that
# never goes down. Sets DOWNLOAD_LINES (their count) and LAST_PROGRESS (the
# last progress written, 0 when none was).
check_download_lines() {
    identifier=$1
    DOWNLOAD_LINES=$(( $(wc -l < stdout) - 1 ))
    [ "$DOWNLOAD_LINES" -lt 0 ] && DOWNLOAD_LINES=0
    LAST_PROGRESS=0
    sed '$d' stdout > download.lines
    bad=0
    while IFS= read -r line; do
        progress=$(printf '%s\n' "$line" |
            sed -n 's/^{"transfer": {"identifier": "'"$identifier"'", "progress": \([0-9][0-9]*\)\.0, "state": 3, "error": null}}$/\1/p')
        if [ -z "$progress" ] || [ "$progress" -gt 99 ] || [ "$progress" -lt "$LAST_PROGRESS" ]; then
            bad=$((bad + 1))
            echo "  not a download line with progress $LAST_PROGRESS..99: $line"
        else
            LAST_PROGRESS=$progress
        fi
    done < download.lines
    if [ "$bad" -eq 0 ]; then
        e2e_pass "$DOWNLOAD_LINES download line(s) (state 3), progress rising to $LAST_PROGRESS"
    else
        e2e_fail "$bad of $DOWNLOAD_LINES line(s) before the last are not rising download lines"
    fi
}

# expect_last_line LINE: the last line of stdout is exactly LINE.
expect_last_line() {
    last=$(tail -n 1 stdout)
    if [ "$last" = "$1" ]; then
        e2e_pass "last line: $1"
    else
        e2e_fail "last line is not: $1"
    fi
}

# expect_update_succeeded IDENTIFIER MIN_DOWNLOAD_LINES: the last timed
# update wrote at least MIN_DOWNLOAD_LINES download lines, then the success
# line (state 0, progress 100.0, error null), and exited 0.
expect_update_succeeded() {
    check_download_lines "$1"
    if [ "$DOWNLOAD_LINES" -ge "$2" ]; then
        e2e_pass "at least $2 download line(s)"
    else
        e2e_fail "$DOWNLOAD_LINES download line(s), expected at least $2"
    fi
    expect_last_line "$(transfer_line "$1" 100 0 null)"
    expect_status 0
}

# expect_update_failed IDENTIFIER RESULT: the last timed update wrote
# download lines, then one failure line with "Upgrade failed (RESULT)" and
# the last progress written, and exited 255.
expect_update_failed() {
    check_download_lines "$1"
    expect_last_line "$(transfer_line "$1" "$LAST_PROGRESS" -1 "Upgrade failed ($2)")"
    expect_status 255
}

expect_files_equal() {
    if cmp "$2" "$3" > cmp.out 2>&1; then
        e2e_pass "$1"
    else
        e2e_fail "$1: $(cat cmp.out)"
    fi
}

# update_against_fault NAME RESULT MIN_MS MAX_MS [hiddfu-sim options]:
# attaches the device NAME with the options and a flash holding firmware
# 1.5.0, updates it from ./fault.dfu (the caller makes it) and checks that
# the update ends with its one failure line, "Upgrade failed (RESULT)" after
# rising download lines, exit status 255, MIN_MS..MAX_MS after the start, and
# that the flash is unchanged. Leaves the device attached if it still is.
update_against_fault() {
    fault_name=$1 fault_result=$2 fault_min_ms=$3 fault_max_ms=$4
    shift 4
    printf 'hiddfu-sim firmware 1.5.0\nthe image before the update\n' > "$fault_name.flash"
    cp "$fault_name.flash" "$fault_name.flash.before"
    sim_start "$fault_name" --flash "$PWD/$fault_name.flash" "$@" || return 1
    run_hiddfu_timed update 1234-5678-0000 fault.dfu
    expect_update_failed 1234-5678-0000 "$fault_result"
    expect_elapsed_ms "$fault_min_ms" "$fault_max_ms"
    expect_stderr_empty
    expect_files_equal "the flash of $fault_name is unchanged" "$fault_name.flash.before" "$fault_name.flash"
}

# sim_await_reattached NAME: waits (up to 10 s) until the simulator NAME,
# which re-enumerates some time after a reset (destroys its device and
# creates it again, in a moment too short to watch for), has announced its
# node a second time on its output, and records that node.
sim_await_reattached() {
    name=$1
    for _ in $(seq 1000); do
        if [ "$(grep -c '^hidraw[0-9]*$' "$name.simout")" -ge 2 ] && [ -s "$name.ready" ]; then
            cp "$name.ready" "$name.node"
            e2e_pass "$name detached and attached again as $(cat "$name.node")"
            return 0
        fi
        usleep 10000
    done
    e2e_fail "$name did not attach again within 10 s"
    show_file "its output" "$name.simout"
    return 1
}

# Called by run-scenario.sh after the scenario: the verdict.
e2e_verdict() {
    echo "---- $E2E_CHECKS check(s), $E2E_FAILURES failed"
    if [ "$E2E_CHECKS" -eq 0 ]; then
        echo "FAIL: the scenario made no check"
        return 1
    fi
    [ "$E2E_FAILURES" -eq 0 ]
}
