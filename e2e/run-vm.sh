#!/bin/bash
# Boots the end-to-end VM once, runs every scenario inside it, and lists the
# results on the host.
#
#   run-vm.sh --kernel DIR --initramfs FILE --out DIR [options]
#     --kernel DIR        holds vmlinux (fetch-kernel.sh makes it)
#     --initramfs FILE    the image make-initramfs.sh packs
#     --out DIR           console.log, channel.log, results/<scenario>/{status,log,ms}
#     --tsc-khz-tool EXE  prints the host TSC rate; passed as tsc_early_khz=
#     --machine NAME      microvm (default) or pc
#     --boot-timeout S    restart qemu once when init is not up after qemu has
#                         used S s of CPU time, or after 4*S s of wall time (30)
#     --timeout S         give up on the whole run after S s (240)
#     --fixture           exit 0 also when scenarios failed, as long as every
#                         result came back (CTest's per-scenario tests judge them)
#
# Exit status: 0 all scenarios passed; 1 some failed; 2 the VM did not deliver
# its results (no boot, crash, timeout, damaged transfer).
set -u

kernel_dir='' initramfs='' out='' tsc_tool='' machine=microvm
boot_timeout=30 total_timeout=240 fixture=0
while [ $# -gt 0 ]; do
    case "$1" in
        --kernel) kernel_dir=$2; shift 2 ;;
        --initramfs) initramfs=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --tsc-khz-tool) tsc_tool=$2; shift 2 ;;
        --machine) machine=$2; shift 2 ;;
        --boot-timeout) boot_timeout=$2; shift 2 ;;
        --timeout) total_timeout=$2; shift 2 ;;
        --fixture) fixture=1; shift ;;
        *) echo "run-vm: unknown argument $1" >&2; exit 2 ;;
    esac
done
if [ -z "$kernel_dir" ] || [ -z "$initramfs" ] || [ -z "$out" ]; then
    echo "usage: run-vm.sh --kernel DIR --initramfs FILE --out DIR [options]" >&2
    exit 2
fi

# The guest's exit codes (guest/init.sh) as qemu reports them: (code << 1) | 1.
readonly QEMU_ALL_PASSED=67 QEMU_SOME_FAILED=69 QEMU_SETUP_FAILED=71

say() { echo "run-vm: $*"; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

qemu=$(command -v qemu-system-x86_64) || { say "qemu-system-x86_64 not found (e2e/install-deps.sh)"; exit 2; }
[ -s "$kernel_dir/vmlinux" ] || { say "no $kernel_dir/vmlinux (e2e/fetch-kernel.sh)"; exit 2; }
[ -s "$initramfs" ] || { say "no initramfs $initramfs"; exit 2; }

mkdir -p "$out"
rm -rf "$out/results" "$out"/console*.log "$out/channel.log" "$out/results.tar.gz" "$out/summary.txt"

cmdline="console=ttyS0 rdinit=/init panic=-1 quiet"
if [ -n "$tsc_tool" ]; then
    if tsc_khz=$("$tsc_tool"); then
        # The guest then skips calibrating its TSC against the emulated PIT,
        # which now and then hangs a microvm boot under TCG; tsc=reliable keeps
        # that TSC as the clock instead of the tick counter that lags when
        # emulation is slow, so guest timings are host wall-clock timings.
        cmdline="$cmdline tsc_early_khz=$tsc_khz tsc=reliable"
    else
        say "could not measure the TSC rate; booting without tsc_early_khz"
    fi
fi

qemu_args=(-accel tcg -m 256M -nographic -no-reboot -monitor none
           -kernel "$kernel_dir/vmlinux" -initrd "$initramfs" -append "$cmdline"
           -device isa-debug-exit,iobase=0xf4,iosize=0x04)
case "$machine" in
    # microvm makes only the first serial port itself; the result channel is
    # a second ISA serial port at the standard ttyS1 address.
    microvm) qemu_args+=(-M microvm -serial "file:$out/console.log"
                         -chardev "file,id=channel,path=$out/channel.log"
                         -device isa-serial,chardev=channel,iobase=0x2f8,irq=3) ;;
    pc) qemu_args+=(-M pc -serial "file:$out/console.log" -serial "file:$out/channel.log") ;;
    *) say "unknown machine $machine"; exit 2 ;;
esac

# CPU seconds qemu has used so far. The boot watchdog counts these rather
# than wall time: a clean boot costs ~2 s of CPU, a hung one spins, and on a
# busy machine a clean boot can take many times its CPU time in wall time.
qemu_cpu_s() {
    local fields
    read -ra fields < "/proc/$1/stat" 2>/dev/null || { echo 0; return; }
    # utime and stime, fields 14 and 15, in clock ticks (after a comm without spaces)
    echo $(( (fields[13] + fields[14]) / $(getconf CLK_TCK) ))
}

qemu_pid=
stop_qemu() {
    if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
        kill -KILL "$qemu_pid" 2>/dev/null
        wait "$qemu_pid" 2>/dev/null
    fi
    qemu_pid=
}
trap 'stop_qemu; exit 2' INT TERM

channel_has() { grep -q "^$1" "$out/channel.log" 2>/dev/null; }

# Prints the scenario lines the guest sent since the last call.
reported=0
report_new_scenarios() {
    local lines
    lines=$(grep -a '^E2E-SCENARIO ' "$out/channel.log" 2>/dev/null | tr -d '\r')
    [ -z "$lines" ] && return
    echo "$lines" | tail -n +"$((reported + 1))" | while read -r _ verdict name ms; do
        printf '  %-4s %-32s %6s ms\n' "$verdict" "$name" "$ms"
    done
    reported=$(echo "$lines" | wc -l)
}

# One boot. Returns 0 when qemu ended by itself (its status in qemu_status),
# 1 when init never came up (watchdog), 2 on the overall timeout.
boot_once() {
    : > "$out/channel.log"
    : > "$out/console.log"
    boot_start_ms=$(now_ms)
    "$qemu" "${qemu_args[@]}" < /dev/null > "$out/qemu.out" 2>&1 &
    qemu_pid=$!
    init_up_ms=
    while kill -0 "$qemu_pid" 2>/dev/null; do
        elapsed=$(( $(now_ms) - boot_start_ms ))
        if [ -z "$init_up_ms" ]; then
            if channel_has E2E-INIT-UP; then
                init_up_ms=$elapsed
                say "init up after $init_up_ms ms"
            elif [ "$(qemu_cpu_s "$qemu_pid")" -ge "$boot_timeout" ] ||
                 [ "$elapsed" -gt $((boot_timeout * 4000)) ]; then
                say "boot watchdog: init not up after $elapsed ms, qemu used $(qemu_cpu_s "$qemu_pid") s of CPU"
                stop_qemu
                return 1
            fi
        fi
        report_new_scenarios
        if [ "$elapsed" -gt $((total_timeout * 1000)) ]; then
            stop_qemu
            return 2
        fi
        sleep 0.1
    done
    wait "$qemu_pid"
    qemu_status=$?
    qemu_pid=
    end_ms=$(( $(now_ms) - boot_start_ms ))
    report_new_scenarios
    return 0
}

say "kernel $(cat "$kernel_dir/kernel.version" 2>/dev/null), machine $machine, $cmdline"
attempt=1
while :; do
    boot_once
    outcome=$?
    [ "$outcome" -ne 1 ] && break
    cp "$out/console.log" "$out/console.attempt$attempt.log"
    say "boot attempt $attempt failed; its console is in console.attempt$attempt.log"
    if [ "$attempt" -ge 2 ]; then
        say "FAILED: the VM did not boot"
        exit 2
    fi
    attempt=$((attempt + 1))
    say "restarting qemu"
done
echo "boots=$attempt" > "$out/timing.txt"
if [ "$outcome" -eq 2 ]; then
    say "FAILED: no result within $total_timeout s; console tail:"
    tail -n 20 "$out/console.log"
    exit 2
fi
echo "init_up_ms=$init_up_ms" >> "$out/timing.txt"
echo "boot_to_result_ms=$end_ms" >> "$out/timing.txt"

case "$qemu_status" in
    "$QEMU_ALL_PASSED"|"$QEMU_SOME_FAILED"|"$QEMU_SETUP_FAILED") ;;
    *) say "FAILED: qemu ended with status $qemu_status, not through the guest's exit port"
       cat "$out/qemu.out"
       say "console tail:"
       tail -n 30 "$out/console.log"
       exit 2 ;;
esac

# The results archive: base64 between markers that carry its size and hash.
tr -d '\r' < "$out/channel.log" > "$out/channel.clean"
header=$(grep -a '^E2E-RESULTS-BEGIN ' "$out/channel.clean" | head -n 1)
read -r _ size hash <<< "$header"
sed -n '/^E2E-RESULTS-BEGIN /,/^E2E-RESULTS-END$/p' "$out/channel.clean" | sed '1d;$d' |
    base64 -d > "$out/results.tar.gz" 2>/dev/null
if [ -z "$header" ] || [ "$(stat -c %s "$out/results.tar.gz")" != "$size" ] ||
   [ "$(sha256sum "$out/results.tar.gz" | cut -d' ' -f1)" != "$hash" ]; then
    say "FAILED: the results archive did not arrive intact"
    exit 2
fi
mkdir -p "$out/results"
tar -xzf "$out/results.tar.gz" -C "$out/results"
rm -f "$out/channel.clean"

if [ "$qemu_status" -eq "$QEMU_SETUP_FAILED" ]; then
    say "FAILED: the VM could not set up its HID stack:"
    cat "$out/results/setup.log"
    exit 2
fi

passed=0 failed=0
for dir in "$out"/results/*/; do
    name=$(basename "$dir")
    verdict=$(cat "$dir/status" 2>/dev/null || echo FAIL)
    echo "$verdict $name $(cat "$dir/ms" 2>/dev/null)" >> "$out/summary.txt"
    if [ "$verdict" = PASS ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
[ -s "$out/results/setup.log" ] && { say "notes from the VM:"; cat "$out/results/setup.log"; }
say "$passed passed, $failed failed; boot to result $end_ms ms (init up after $init_up_ms ms, boots: $attempt)"
for dir in "$out"/results/*/; do
    if [ "$(cat "$dir/status" 2>/dev/null)" != PASS ]; then
        say "---- log of failed scenario $(basename "$dir")"
        cat "$dir/log"
    fi
done

if [ "$failed" -eq 0 ]; then exit 0; fi
if [ "$fixture" -eq 1 ]; then exit 0; fi
exit 1
