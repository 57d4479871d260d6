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
#   expect_sim_received NAME HEX...      the device got exactly these reports
#   expect_sim_received_nothing NAME
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

E2E_CHECKS=0
E2E_FAILURES=0

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
# with the options and waits until it reports its hidraw node (the VM stops
# it after the scenario if the scenario did not). Devices attached one after the other get hidraw numbers, and so
# enumeration positions, in that order.
sim_start() {
    name=$1
    shift
    rm -f "$name.ready" "$name.simlog"
    echo "\$ hiddfu-sim $* --log $name.simlog --ready-file $name.ready &"
    hiddfu-sim "$@" --log "$PWD/$name.simlog" --ready-file "$PWD/$name.ready" \
        > "$name.simout" 2>&1 &
    pid=$!
    echo "$pid" > "$name.pid"
    for _ in $(seq 500); do
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
    e2e_fail "simulator $name attached no hidraw node within 5 s"
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
expect_sim_received() {
    name=$1
    shift
    printf '%s\n' "$@" > "$name.expected"
    if cmp -s "$name.simlog" "$name.expected"; then
        e2e_pass "$name received exactly the expected $# report(s)"
    else
        e2e_fail "$name did not receive exactly the expected $# report(s)"
        show_file "received" "$name.simlog"
        show_file "expected" "$name.expected"
    fi
}

expect_sim_received_nothing() {
    if [ ! -s "$1.simlog" ]; then
        e2e_pass "$1 received no report"
    else
        e2e_fail "$1 received reports"
        show_file "received" "$1.simlog"
    fi
}

# ---- running the tool ------------------------------------------------------

run_hiddfu() {
    echo "\$ hiddfu $*"
    start=$(now_ms)
    hiddfu "$@" > stdout 2> stderr
    STATUS=$?
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

# Called by run-scenario.sh after the scenario: the verdict.
e2e_verdict() {
    echo "---- $E2E_CHECKS check(s), $E2E_FAILURES failed"
    if [ "$E2E_CHECKS" -eq 0 ]; then
        echo "FAIL: the scenario made no check"
        return 1
    fi
    [ "$E2E_FAILURES" -eq 0 ]
}
