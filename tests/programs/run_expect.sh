#!/bin/bash
# Runs a console tool and checks both its exit status and its output:
#   run_expect.sh STATUS INPUT PATTERN... -- PROGRAM ARGS...
# INPUT goes to the program's standard input ("" for none); each PATTERN
# (an extended regular expression) must match some line of its output
# (standard output and error together). Prints the output either way.
set -uo pipefail

want_status=${1:?usage: run_expect.sh STATUS INPUT PATTERN... -- PROGRAM ARGS...}
input=$2
shift 2
patterns=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    patterns+=("$1")
    shift
done
[ "${1:-}" = "--" ] || { echo "run_expect.sh: no -- before the program" >&2; exit 2; }
shift

output=$(printf '%s' "$input" | "$@" 2>&1)
status=$?
printf '%s\n' "$output"

failures=0
if [ "$status" != "$want_status" ]; then
    echo "run_expect.sh: exit status $status, expected $want_status"
    failures=$((failures + 1))
fi
for pattern in "${patterns[@]}"; do
    if ! grep -Eq -- "$pattern" <<<"$output"; then
        echo "run_expect.sh: no line matches /$pattern/"
        failures=$((failures + 1))
    fi
done
exit $((failures > 0))
