#!/bin/sh
# One scenario's verdict from the results of the VM boot (run-vm.sh):
#   check-result.sh RESULTS_DIR NAME
# Prints the scenario's log; exit status 0 when it passed.
set -u
dir=${1:?usage: check-result.sh RESULTS_DIR NAME}/${2:?}
if [ ! -f "$dir/status" ]; then
    echo "no result for scenario $2: the VM boot did not run it (see the e2e.vm-boot test)"
    exit 1
fi
cat "$dir/log"
for simfile in "$dir"/*.simlog "$dir"/*.simout; do
    [ -f "$simfile" ] || continue
    echo "---- $(basename "$simfile")"
    cat "$simfile"
done
echo "---- $(cat "$dir/status") in $(cat "$dir/ms") ms (guest time)"
[ "$(cat "$dir/status")" = PASS ]
