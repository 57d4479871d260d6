# Runs one scenario file with the helpers loaded and turns its checks into
# the exit status: 0 when it made checks and none failed.
#   sh run-scenario.sh /e2e/scenarios/NN-name.sh
. /e2e/lib.sh
echo "==== scenario $(basename "$1" .sh)"
. "$1"
e2e_verdict
