#!/bin/sh
# Checks the syntax of udev rule files with udev's own parser. This udev
# (Debian 12, systemd 252) has no `udevadm verify`, and `udevadm test` reads
# only the system's rule folders; so the files are put into an empty folder
# mounted over /etc/udev/rules.d in a private mount namespace (the machine's
# own folder is untouched and nobody else sees the change), and `udevadm
# test` on an existing device loads them. A file passes when udev reports
# nothing about it but that it was read.
#
# Exit status 77 (skipped) without root, unshare or udevadm.
#
# usage: check-udev-rules.sh WORK_DIR RULES_FILE...
set -eu
work=$1
shift
if [ "$(id -u)" -ne 0 ] || ! command -v udevadm > /dev/null || ! command -v unshare > /dev/null; then
    echo "skipped: needs root, udevadm and unshare"
    exit 77
fi
rm -rf "$work"
mkdir -p "$work/rules.d"
for rules in "$@"; do
    # udev reads only *.rules files.
    cp "$rules" "$work/rules.d/$(basename "$rules" .example)"
done
if ! unshare --mount sh -c 'mount --bind "$1" /etc/udev/rules.d && udevadm test /sys/class/mem/null' \
        sh "$work/rules.d" > "$work/udevadm.log" 2>&1; then
    if ! grep -q "Reading rules file" "$work/udevadm.log"; then
        echo "skipped: no private mount namespace or no working udevadm here:"
        cat "$work/udevadm.log"
        exit 77
    fi
fi
status=0
for rules in "$work"/rules.d/*; do
    if ! grep -q "^Reading rules file: /etc/udev/rules.d/$(basename "$rules")\$" "$work/udevadm.log"; then
        echo "FAIL: udev did not read $(basename "$rules")"
        status=1
    fi
    complaints=$(grep "/etc/udev/rules.d/$(basename "$rules")" "$work/udevadm.log" | grep -v "^Reading rules file" || true)
    if [ -n "$complaints" ]; then
        echo "FAIL: udev complains about $(basename "$rules"):"
        echo "$complaints"
        status=1
    fi
done
[ $status -ne 0 ] || echo "udev parsed $* without a complaint"
rm -rf "$work"
exit $status
