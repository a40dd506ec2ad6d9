# The part of the Windows image checks that every image shares, sourced by
# check_image.sh and check_program.sh once they have set `file` (the image),
# `objdump` and `what` (how to build it, for the message when it is
# missing). Gives pass/fail (counted in `failures`), `headers` (objdump -p)
# and field NAME (a value of the optional header).

if [ ! -f "$file" ]; then
    echo "FAIL: $file does not exist; run \`make windows\` to build $what" >&2
    exit 1
fi
if ! command -v "$objdump" >/dev/null 2>&1; then
    echo "FAIL: $objdump not found; run \`tools/ensure-packages windows\`" >&2
    exit 1
fi

failures=0
pass() { echo "ok:   $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$file" 2>&1) || { echo "FAIL: $objdump -p $file: $headers" >&2; exit 1; }
field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }
