#!/bin/sh
# Renders each built manual page with groff, all warnings on, and with man:
# a page passes when groff warns about nothing and man shows its NAME section.
#
# usage: check-man-pages.sh PAGE.1...
set -eu
status=0
for page in "$@"; do
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || true
    if [ -n "$warnings" ]; then
        echo "FAIL: groff warns about $page:" >&2
        echo "$warnings" >&2
        status=1
    fi
    name=$(basename "$page" .1)
    if ! MANWIDTH=80 man -l "$page" 2> /dev/null | grep -q "^NAME"; then
        echo "FAIL: man -l $page shows no NAME section" >&2
        status=1
    elif ! MANWIDTH=80 man -l "$page" 2> /dev/null | grep -q "^ *$name - "; then
        echo "FAIL: man -l $page does not name $name" >&2
        status=1
    fi
done
exit $status
