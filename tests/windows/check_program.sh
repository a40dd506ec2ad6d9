#!/bin/bash
# Checks a console tool built for Windows (`make windows`):
#   check_program.sh x86|x64 PROGRAM.exe OBJDUMP
# A console program (subsystem 3) for the right processor that imports
# from kernel32 and the C runtime only, so it runs on any Windows without
# a redistributable. Prints one line per check; exits 1 if any failed.
set -uo pipefail

arch=${1:?usage: check_program.sh x86|x64 PROGRAM OBJDUMP}
program=${2:?usage: check_program.sh x86|x64 PROGRAM OBJDUMP}
objdump=${3:?usage: check_program.sh x86|x64 PROGRAM OBJDUMP}

allowed_dlls="KERNEL32.dll msvcrt.dll"
case "$arch" in
x86) magic=010b ;;
x64) magic=020b ;;
*) echo "unknown architecture '$arch' (x86 or x64)" >&2; exit 2 ;;
esac

file=$program what="the Windows programs"
source "$(dirname "${BASH_SOURCE[0]}")/pe_check_common.sh"

got=$(field Magic)
[ "$got" = "$magic" ] && pass "Magic $got" || fail "Magic is '$got', expected $magic for $arch"
got=$(field Subsystem)
[ "$got" = 00000003 ] && pass "Subsystem 3 (console)" || fail "Subsystem is '$got', expected 00000003 (console)"

dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$headers" | sort -u)
[ -n "$dlls" ] || fail "imports nothing"
for dll in $dlls; do
    if grep -qixF "$dll" <<<"$(tr ' ' '\n' <<<"$allowed_dlls")"; then
        pass "imports from $dll"
    else
        fail "imports from $dll; the tools may import only from: $allowed_dlls"
    fi
done
# The port is opened through kernel32 itself, not some other layer.
grep -qE "[[:space:]]CreateFileA\$" <<<"$headers" && pass "imports CreateFileA" || fail "does not import CreateFileA"

if (( failures > 0 )); then
    echo "$program: $failures check(s) failed"
    exit 1
fi
echo "$program: all checks passed"
