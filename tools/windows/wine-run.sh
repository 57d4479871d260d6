#!/bin/sh
# Runs a Windows program under wine for the build and its tests, with a wine
# prefix of the build's own.
#
# usage: wine-run.sh --prefix=DIR PROGRAM [ARG...]   run PROGRAM, exit with its status
#        wine-run.sh --prefix=DIR --start            create/boot the prefix, start wineserver
#        wine-run.sh --prefix=DIR --stop             stop the prefix's wineserver
#
# Why the start-up is careful: when wine boots a prefix or starts its
# background services (services.exe, winedevice.exe, ...), those processes
# inherit the standard streams of whichever wine process started them and
# keep them open long after it has exited. A caller that reads the program's
# output through a pipe (CTest, a shell pipeline, execute_process) would then
# wait for them. So the server is started persistent and the prefix booted
# with all three standard streams on /dev/null, once, under a lock, before any
# program runs; later programs find the services already running.
set -eu

prefix=
case "${1-}" in
--prefix=*) prefix=${1#--prefix=}; shift ;;
esac
if [ -z "$prefix" ] || [ $# -lt 1 ]; then
    echo "usage: $0 --prefix=DIR (--start | --stop | PROGRAM [ARG...])" >&2
    exit 2
fi

# How long the wineserver stays up after its last program has exited; the
# CTest clean-up fixture stops it sooner.
idle_seconds=${HIDDFU_WINESERVER_IDLE_SECONDS:-120}

WINEPREFIX=$prefix
# No debug channels: wine's own messages would mix with the program's stderr.
WINEDEBUG=-all
# No .NET or Gecko installer prompts at first boot, and no debugger that
# prints a backtrace on standard output when a program crashes.
WINEDLLOVERRIDES='mscoree,mshtml=;winedbg.exe=d'
# Keep wine from adding menu entries and file associations to the desktop.
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

for tool in wine wineserver wineboot flock; do
    if ! command -v "$tool" > /dev/null 2>&1; then
        echo "$0: $tool not found (install the wine, wine64 and util-linux packages)" >&2
        exit 127
    fi
done

# Starts the persistent wineserver and boots the prefix, unless a server for
# this prefix is running already. `wineserver -p` exits at once, non-zero,
# when one is; otherwise it leaves a new server running in the background.
start_wine() {
    mkdir -p "$prefix"
    exec 9> "$prefix.lock"
    flock 9
    if wineserver "-p$idle_seconds" < /dev/null > /dev/null 2>&1 9>&-; then
        if ! wineboot -i < /dev/null > /dev/null 2>&1 9>&-; then
            echo "$0: wineboot failed for the prefix $prefix" >&2
            exit 1
        fi
    fi
    exec 9>&-
}

case "$1" in
--start)
    start_wine
    ;;
--stop)
    # -k kills the server and its programs; -w waits until it has gone, so
    # that a --start straight after this one finds no server shutting down.
    if [ -d "$prefix" ]; then
        wineserver -k < /dev/null > /dev/null 2>&1 || true
        wineserver -w < /dev/null > /dev/null 2>&1 || true
    fi
    ;;
*)
    start_wine
    exec wine "$@"
    ;;
esac
