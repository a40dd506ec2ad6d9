#!/bin/bash
# Checks a built Windows driver image against what the kernel's loader
# expects of it:
#   check_image.sh x86|x64 IMAGE.sys OBJDUMP
# The map the linker wrote beside the image (IMAGE.map) names the entry
# point. Prints one line per check; exits 1 if any failed.
set -uo pipefail

arch=${1:?usage: check_image.sh x86|x64 IMAGE OBJDUMP}
image=${2:?usage: check_image.sh x86|x64 IMAGE OBJDUMP}
objdump=${3:?usage: check_image.sh x86|x64 IMAGE OBJDUMP}

# DLLs the driver may import from. On x86 the spin-lock routines and
# KeGetCurrentIrql come from the HAL.
allowed_dlls="ntoskrnl.exe USBD.SYS WMILIB.SYS"
[ "$arch" = x86 ] && allowed_dlls="$allowed_dlls HAL.dll"
# DLLs it must import from: the driver calls into each of them (the WMI
# library for its WMI requests).
required_dlls="ntoskrnl.exe USBD.SYS WMILIB.SYS"

case "$arch" in
x86) magic=010b entry_symbol='_?DriverEntry@8' ;;
x64) magic=020b entry_symbol='DriverEntry' ;;
*) echo "unknown architecture '$arch' (x86 or x64)" >&2; exit 2 ;;
esac

file=$image what="the Windows drivers"
source "$(dirname "${BASH_SOURCE[0]}")/pe_check_common.sh"
lower() { tr '[:upper:]' '[:lower:]'; }

# --- Optional header ----------------------------------------------------------
got=$(field Magic)
[ "$got" = "$magic" ] && pass "Magic $got" || fail "Magic is '$got', expected $magic for $arch"

got=$(field Subsystem)
[ "$got" = 00000001 ] && pass "Subsystem 1 (NT native)" || fail "Subsystem is '$got', expected 00000001 (NT native)"

# DYNAMIC_BASE (0x40) and NX_COMPAT (0x100): the image can be relocated
# and its data is not executable.
dll_characteristics=$((16#$(field DllCharacteristics)))
if (( (dll_characteristics & 0x140) == 0x140 )); then
    pass "DllCharacteristics DYNAMIC_BASE and NX_COMPAT"
else
    fail "DllCharacteristics $(field DllCharacteristics) lacks DYNAMIC_BASE (0x40) or NX_COMPAT (0x100)"
fi

# --- Entry point --------------------------------------------------------------
map="${image%.sys}.map"
entry=$(( 16#$(field ImageBase) + 16#$(field AddressOfEntryPoint) ))
if [ ! -f "$map" ]; then
    fail "no linker map $map to name the entry point"
else
    # Map lines "    0x00011020    DriverEntry@8": address and symbol.
    entry_names=$(awk -v want="$(printf '%x' "$entry")" '
        NF == 2 && $1 ~ /^0x[0-9a-fA-F]+$/ {
            address = tolower(substr($1, 3)); sub(/^0+/, "", address)
            if (address == want) print $2
        }' "$map")
    if grep -Eqx "$entry_symbol" <<<"$entry_names"; then
        pass "entry point $(printf '%#x' "$entry") is $(grep -Ex "$entry_symbol" <<<"$entry_names" | head -1)"
    else
        fail "entry point $(printf '%#x' "$entry") is '$(echo $entry_names)', expected $entry_symbol"
    fi
fi

# --- Imports ------------------------------------------------------------------
dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$headers" | sort -u)
for dll in $dlls; do
    if grep -qixF "$dll" <<<"$(tr ' ' '\n' <<<"$allowed_dlls")"; then
        pass "imports from $dll"
    else
        fail "imports from $dll; a driver may import only from: $allowed_dlls"
    fi
done
# One import descriptor per module, as the platform's own linker makes: a
# module named twice means two import libraries were mixed for it.
repeated=$(awk '/DLL Name:/ { print toupper($3) }' <<<"$headers" | sort | uniq -d)
[ -z "$repeated" ] && pass "each module imported once" || fail "modules with more than one import descriptor: $(echo $repeated)"
for dll in $required_dlls; do
    grep -qixF "$dll" <<<"$dlls" || fail "does not import from $dll"
done

# Import names as the DLLs export them: undecorated. A name such as
# "_USBD_ParseDescriptors@16" means a broken import library, and the
# loader would refuse the driver.
decorated=$(awk '/DLL Name:/ { in_dll = 1; next }
                 /^$/ { in_dll = 0 }
                 in_dll && $1 ~ /^[0-9a-f]+$/ && NF == 3 && $3 ~ /@[0-9]+$/ { print $3 }' <<<"$headers")
[ -z "$decorated" ] && pass "import names undecorated" || fail "decorated import names: $(echo $decorated)"

# --- Sections -----------------------------------------------------------------
# No section may be both writable and executable (memory integrity refuses
# such drivers): objdump marks every executable section CODE and every
# non-writable one READONLY.
sections=$("$objdump" -h "$image" | awk '
    $1 ~ /^[0-9]+$/ { name = $2; next }
    name != "" { print name ": " $0; name = "" }')
writable_code=$(grep 'CODE' <<<"$sections" | grep -v 'READONLY' | cut -d: -f1)
[ -z "$writable_code" ] && pass "no writable code section" || fail "writable code sections: $(echo $writable_code)"

# --- Privileged instructions (x64) ---------------------------------------------
# The harness runs the x64 image in a user-mode process (harness/loader),
# where it emulates CR8 accesses (the inline IRQL routines) and nothing else
# a kernel may do: other control registers, MSRs, port I/O, interrupt
# flags, descriptor tables, and gs:-relative reads of the processor control
# region (KeGetCurrentThread, KeGetCurrentProcessorNumber) stop it. Such an
# instruction is named here before a run meets it.
if [ "$arch" = x64 ]; then
    privileged=$("$objdump" -d --no-show-raw-insn "$image" | awk -F'\t' '
        NF >= 2 {
            insn = $2
            if (insn ~ /%cr[0-9]/ && insn !~ /%cr8/) print
            else if (insn ~ /%[dt]r[0-9]|^(rd|wr)msr|^(in|out|ins|outs)[bwl]? |^(cli|sti|hlt|lgdt|lidt|lldt|ltr|invlpg|swapgs|wbinvd|invd)/) print
            else if (insn ~ /%gs:/) print
        }')
    if [ -z "$privileged" ]; then
        pass "no privileged instruction other than CR8 accesses, no gs:-relative access"
    else
        fail "instructions the harness cannot run: $(echo "$privileged" | head -5 | tr '\n' ';')"
    fi
fi

# --- Checksum -----------------------------------------------------------------
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if perl "$here/../../windows/pe_checksum.pl" --check "$image"; then
    pass "CheckSum $(field CheckSum) matches the image"
else
    fail "CheckSum $(field CheckSum) does not match the image"
fi

if (( failures > 0 )); then
    echo "$image: $failures check(s) failed"
    exit 1
fi
echo "$image: all checks passed"
