#!/bin/bash
# bcdmon.exe as a user runs it: typed at cmd's prompt, in a folder that holds
# it and a ZEPDRIVERDLL.dll, under a pseudo-terminal whose keys reach the
# console (keys typed into the terminal of a program that Wine starts
# directly never do):
#   prompt.sh WINE WINEARCH PREFIX BCDMON_EXE DRIVER_DLL
# Each key of the table below ends a run whose output goes to a file; the
# status cmd sees must be 1; the key is left waiting, so a letter becomes the
# first character of cmd's next line. Last, a run with its output on the
# console, traced by Wine, must make one write per message. Results are read
# from files: Wine redraws the screen with cursor escapes.
set -eu
wine=$1
tests=$(dirname "$0")
export WINEARCH=$2 WINEPREFIX=$3 WINEDEBUG=-all
deadline_seconds=120

# name, what the terminal gets for the key, the rest of the command typed
# after it: a letter stays waiting and begins cmd's next command line. The
# arrow is Down: Up, left waiting too, would recall the last command into
# cmd's line.
cases=(
  "letter|e|cho"
  "arrow|\033[B|echo"
  "F5|\033[15~|echo"
)

# The output functions a program's runtime calls, traced when WINEDEBUG asks
# for relay; their third argument is the length of the write.
"$tests/wine.sh" "$wine" "$WINEARCH" "$WINEPREFIX" reg add 'HKCU\Software\Wine\Debug' \
  /v RelayInclude /t REG_SZ /d 'KERNEL32.WriteFile;KERNEL32.WriteConsoleA;KERNEL32.WriteConsoleW' \
  /f >/dev/null

work=$(mktemp -d)
session=""
cleanup() {
  if [ -n "$session" ] && kill -0 "$session" 2>/dev/null; then kill "$session"; fi
  rm -rf "$work"
}
trap cleanup EXIT
cp "$4" "$work/bcdmon.exe"
cp "$5" "$work/ZEPDRIVERDLL.dll"
cd "$work"

# The terminal's input: a FIFO held open at both ends, so it never ends.
mkfifo keys
exec 3<>keys
SHELL=/bin/sh script -qfec "tty >tty.txt; exec $(printf '%q' "$wine") cmd 2>relay.log" screen \
  <keys >/dev/null &
session=$!
type_keys() { printf '%b' "$1" >&3; }

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Waits until the command succeeds; false after the deadline.
wait_for() {
  local give_up=$((SECONDS + deadline_seconds))
  until "$@"; do
    [ "$SECONDS" -lt "$give_up" ] || return 1
    sleep 0.05
  done
}
has() { [ -f "$2" ] && LC_ALL=C grep -qaF -- "$1" "$2"; }
writes() { LC_ALL=C grep -oaE 'Call [A-Za-z0-9]+\.Write(File|Console[AW])\([0-9a-f]+,[0-9a-f]+,[0-9a-f]+' relay.log |
  sed 's/.*,//'; }
writes_at_least() { [ "$(writes | wc -l)" -ge "$1" ]; }

# Typed before Wine's console has put the terminal in raw mode, keys would
# go through its line discipline, which turns the Enter into a line feed; the
# prompt may be on the screen before that.
raw_mode() { [ -s tty.txt ] && stty -a -F "$(cat tty.txt)" 2>/dev/null | grep -qw -- -icanon; }
prompt="Z:$(printf '%s' "$work" | tr / '\\')>"
if ! { wait_for has "$prompt" screen && wait_for raw_mode; }; then
  echo "FAIL: no prompt from cmd, or the terminal not in raw mode; the screen:" >&2
  cat -v screen >&2
  exit 1
fi

header=$'\r\nOpening Port...Passed\r\nConfig Port....done\r\nUnpacked BCD : '
trailer=$'\r\nClosing port...done\r\n\r\n'
for entry in "${cases[@]}"; do
  IFS='|' read -r name key rest <<<"$entry"
  type_keys "bcdmon.exe > out-$name.txt\r"
  # A file that is not empty: the run is past its first 4096 bytes.
  if ! wait_for test -s "out-$name.txt"; then
    fail "$name: the run wrote nothing"
    break
  fi
  type_keys "$key"
  if ! wait_for has "$trailer" "out-$name.txt"; then
    fail "$name: the run did not end"
    break
  fi
  type_keys "$rest %ERRORLEVEL% > status-$name.txt\r"
  if ! wait_for test -s "status-$name.txt"; then
    fail "$name: cmd did not run \"echo %ERRORLEVEL%\" (the key not left waiting?)"
    break
  fi
  status=$(tr -d ' \r\n' <"status-$name.txt")
  [ "$status" = 1 ] || fail "$name: status $status, expected 1"
  output=$(LC_ALL=C tr '\0' '?' <"out-$name.txt"; printf .)
  output=${output%.}
  [ "${output:0:${#header}}" = "$header" ] || fail "$name: the output does not begin with the header"
  [ "${output: -${#trailer}}" = "$trailer" ] || fail "$name: the output does not end with the trailer"
done

# Output on the console, the run traced: "\nOpening Port..." and "Passed",
# "\nConfig Port...." and "done", one write per reading, "\nClosing port..."
# and "done\n\n", each line feed written as CR LF.
if [ "$failures" -eq 0 ]; then
  type_keys 'set WINEDEBUG=+relay\r'
  type_keys 'bcdmon.exe\r'
  if wait_for writes_at_least 6; then
    type_keys 'e'
    type_keys 'cho %ERRORLEVEL% > status-console.txt\r'
    wait_for test -s status-console.txt || fail "console: cmd did not run \"echo %ERRORLEVEL%\""
    lengths=$(writes | while read -r hex; do printf '%d ' "0x$hex"; done)
    [[ "$lengths" =~ ^17\ 6\ 17\ 4\ (19\ )+17\ 8\ $ ]] ||
      fail "console: not one write per message; the lengths of the first writes: ${lengths:0:160}"
  else
    fail "console: the run made no writes that the trace shows"
  fi
fi

type_keys '\rexit\r'
session_ended() { ! kill -0 "$session" 2>/dev/null; }
wait_for session_ended || fail "cmd did not exit"
if [ "$failures" -ne 0 ]; then
  echo "The end of the screen:" >&2
  tail -c 2000 screen | cat -v >&2
  exit 1
fi
echo "keys ${cases[*]%%|*} each ended the run with status 1, left waiting; on the console one write per message"
