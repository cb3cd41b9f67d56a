#!/bin/sh
# Runs a Windows test program under wine64:
#   wine.sh WINE64 PREFIX [--terminal] PROGRAM [ARGUMENTS...]
# in the build's own Wine prefix, made on first use, with Wine's diagnostics
# off. With --terminal the program runs under a pseudo-terminal of its own
# (script), so that Wine gives it a console whose input can be opened; its
# output goes to a file, shown when it ends, as Wine redraws all it writes to
# the terminal character by character.
set -eu
wine64=$1
WINEPREFIX=$2
shift 2
export WINEPREFIX WINEDEBUG=-all

# Tests may run side by side: one of them makes the prefix, the rest wait.
if [ ! -d "$WINEPREFIX/drive_c" ]; then
  flock "$WINEPREFIX.lock" sh -c '[ -d "$WINEPREFIX/drive_c" ] || "$1" wineboot --init' sh "$wine64" \
    >/dev/null 2>&1
fi

if [ "${1:-}" != --terminal ]; then
  exec "$wine64" "$@"
fi
shift
quote() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
command=$(quote "$wine64")
for argument in "$@"; do
  command="$command $(quote "$argument")"
done
files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
# script's input: a FIFO held open at both ends, which never gives data nor an
# end. At the end of its input script would type the terminal's end-of-file
# character, which Wine then delivers as a key press.
mkfifo "$files/input"
status=0
SHELL=/bin/sh script -qec "$command >$(quote "$files/output") 2>&1" /dev/null \
  <>"$files/input" >/dev/null || status=$?
cat "$files/output"
exit "$status"
