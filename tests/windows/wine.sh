#!/bin/sh
# Runs a Windows test program under Wine:
#   wine.sh WINE WINEARCH PREFIX [--terminal] PROGRAM [ARGUMENTS...]
# WINE is the loader for the program's word size (/usr/lib/wine/wine for
# i686, wine64 for x86-64), WINEARCH the prefix's (win32 or win64); the
# build's own prefix is made on first use. Wine's diagnostics are off. With
# --terminal the program runs under a pseudo-terminal of its own (script), so
# that Wine gives it a console whose input can be opened; its output goes to
# a file, shown when it ends, as Wine redraws all it writes to the terminal
# character by character.
set -eu
wine=$1
WINEARCH=$2
WINEPREFIX=$3
shift 3
export WINEARCH WINEPREFIX WINEDEBUG=-all

# Tests may run side by side: one of them makes the prefix, the rest wait.
if [ ! -d "$WINEPREFIX/drive_c" ]; then
  flock "$WINEPREFIX.lock" sh -c '[ -d "$WINEPREFIX/drive_c" ] || "$1" wineboot --init' sh "$wine" \
    >/dev/null 2>&1
fi

if [ "${1:-}" != --terminal ]; then
  exec "$wine" "$@"
fi
shift
quote() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
command=$(quote "$wine")
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
