#!/bin/bash
# The demo on a Windows driver image, against the same demo on the host build.
#
#   image_run.sh same DEMO IMAGE [ARGS...]
#       Both runs complete (exit 0) and print the same lines, apart from the
#       driver's name (the first line and the load section's "driver" line)
#       and the build time in the driver's banner. Any other difference is
#       one between the image and the host build, and is shown.
#   image_run.sh without-map DEMO IMAGE
#       A copy of the image without its linker map beside it is refused
#       with exit status 2, naming what the demo could not find.
#
# Exits 77 (ctest: skipped) when IMAGE does not exist: `make windows`
# builds it.
set -uo pipefail

mode=${1:?usage: image_run.sh same|without-map DEMO IMAGE [ARGS...]}
demo=${2:?no demo program}
image=${3:?no image}
shift 3
if [ ! -f "$image" ]; then
    echo "image_run.sh: $image is missing (make windows builds it): skipped"
    exit 77
fi

# The lines that name the driver or the time it was built.
normalise() {
    sed -E -e '1s/^(Tarnlink on the emulated kernel: ).*/\1DRIVER/' \
           -e 's/^(  driver          ).*/\1DRIVER/' \
           -e 's/<Build: [^>]*>/<Build: TIME>/'
}

case "$mode" in
same)
    host_out=$("$demo" "$@" 2>&1)
    host_status=$?
    image_out=$("$demo" --image "$image" "$@" 2>&1)
    image_status=$?
    failures=0
    if [ "$host_status" != 0 ] || [ "$image_status" != 0 ]; then
        printf '%s\n' "$image_out"
        echo "image_run.sh: exit status $image_status on the image, $host_status on the host build"
        failures=$((failures + 1))
    fi
    if [ "$(head -n 1 <<<"$host_out")" != "Tarnlink on the emulated kernel: host build" ]; then
        echo "image_run.sh: the host run's first line does not name the host build"
        failures=$((failures + 1))
    fi
    name=$(basename "$image")
    if [ "$(head -n 1 <<<"$image_out")" != "Tarnlink on the emulated kernel: $name (the Windows image)" ]; then
        echo "image_run.sh: the image run's first line does not name $name"
        failures=$((failures + 1))
    fi
    # Every section ran: a run cut short would otherwise compare equal to
    # another cut short at the same place.
    sections=$(grep -c '^== ' <<<"$image_out")
    if ! grep -q '^== Unloading the driver' <<<"$image_out"; then
        echo "image_run.sh: the image run stopped before the unload ($sections sections)"
        failures=$((failures + 1))
    fi
    if ! diff -u --label "host build" --label "$name" <(normalise <<<"$host_out") <(normalise <<<"$image_out"); then
        echo "image_run.sh: the image run differs from the host build's (above)"
        failures=$((failures + 1))
    fi
    [ "$failures" = 0 ] && echo "image_run.sh: $sections sections, the same on $name and on the host build"
    exit $((failures > 0))
    ;;
without-map)
    dir=$(mktemp -d)
    trap 'rm -rf "$dir"' EXIT
    cp "$image" "$dir/"
    out=$("$demo" --image "$dir/$(basename "$image")" 2>&1)
    status=$?
    printf '%s\n' "$out"
    if [ "$status" != 2 ] || ! grep -q "its linker map does not name driverGlobals" <<<"$out"; then
        echo "image_run.sh: exit status $status; expected 2 and the missing symbols named"
        exit 1
    fi
    ;;
*)
    echo "image_run.sh: unknown mode '$mode'" >&2
    exit 2
    ;;
esac
