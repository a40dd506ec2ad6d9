#!/bin/bash
# Runs a command only if a file it needs exists:
#   skip_without.sh FILE -- COMMAND ARGS...
# Without FILE it says so and exits 77, which ctest counts as skipped (the
# Windows driver images are built by `make windows`, not by this tree).
set -uo pipefail
file=${1:?usage: skip_without.sh FILE -- COMMAND ARGS...}
shift
[ "${1:-}" = "--" ] && shift
if [ ! -e "$file" ]; then
    echo "skip_without.sh: $file is missing (make windows builds it): skipped"
    exit 77
fi
exec "$@"
