#!/bin/busybox sh
# The emulated PC's /init. It does what the host says on the console (the
# serial line), one command a line, and answers in lines that begin with "@",
# as the kernel may print between them:
#   setup COMMAND...  runs COMMAND as root                          @setup STATUS
#   run USER PROGRAM [ARGUMENTS...]
#                     runs PROGRAM as USER (root, or UID:GID) in a session of
#                     its own on the serial line, its output and errors into
#                     files. Once it has shown readings: the command a setup
#                     left in $during, if any, and more readings after it;
#                     @caps, the capability lines of its /proc/PID/status,
#                     and @key, to which the host types a key. Then @status,
#                     @out and @err (gzip, base64) and @end.
#   term USER PROGRAM [ARGUMENTS...]
#                     the same with its output and errors on the serial line,
#                     where the host reads them and types the key; then
#                     @status, on a line of its own, and @end.
#   end               powers the PC off; so does a minute with no command.
# Anything else, such as the key a run leaves waiting, is no command.
export PATH=/bin:/sbin
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t devtmpfs dev /dev
# As systemd mounts them: the kernel shows its lockdown there.
mount -t sysfs sysfs /sys
mount -t securityfs securityfs /sys/kernel/security
# The console itself never becomes a controlling terminal: /dev/ttyS0 does,
# for each run. The host's commands are not echoed back to it.
stty -echo
wait_tenths=300       # at most, in tenths of a second, for a run's readings and for its end
readings_before_key=2 # in the output file, which gets them a buffer at a time

# True while the process runs: a zombie has ended.
running() {
  local state
  state=$(sed 's/.*) //; s/ .*//' "/proc/$1/stat" 2>/dev/null)
  [ -n "$state" ] && [ "$state" != Z ]
}

during="" # a command to run while the next run reads, which a setup may set

readings() { grep -c '^Unpacked BCD' /tmp/out; }

# Waits while PID runs, until the output file holds more than COUNT readings.
# wait_readings PID COUNT
wait_readings() {
  local tenths=0
  while running "$1" && [ "$(readings)" -le "$2" ] && [ "$tenths" -lt "$wait_tenths" ]; do
    sleep 0.1
    tenths=$((tenths + 1))
  done
}

run() {
  local user=$1 pid watchdog status
  shift
  if [ "$user" != root ]; then
    set -- /pc/as_user "${user%:*}" "${user#*:}" "$@"
  fi
  setsid -c "$@" </dev/ttyS0 >/tmp/out 2>/tmp/err &
  pid=$!
  wait_readings "$pid" $((readings_before_key - 1))
  if [ -n "$during" ] && running "$pid"; then
    eval "$during" >/dev/null 2>&1
    during=""
    wait_readings "$pid" "$(readings)"
  fi
  if running "$pid"; then
    echo "@caps" $(grep -E '^Cap(Inh|Prm|Eff|Amb):' "/proc/$pid/status")
    echo "@key"
  fi
  (sleep $((wait_tenths / 10)) && kill -9 "$pid") 2>/dev/null &
  watchdog=$!
  wait "$pid"
  status=$?
  kill "$watchdog" 2>/dev/null
  echo "@status $status"
  echo "@out $(gzip -c /tmp/out | base64 -w 0)"
  echo "@err $(gzip -c /tmp/err | base64 -w 0)"
  echo "@end"
}

term() {
  local user=$1
  shift
  if [ "$user" != root ]; then
    set -- /pc/as_user "${user%:*}" "${user#*:}" "$@"
  fi
  timeout -s KILL $((wait_tenths / 10)) setsid -c "$@" </dev/ttyS0 >/dev/ttyS0 2>&1
  printf '\n@status %s\n@end\n' $?
}

# The package as dpkg lays it out, its usr/ in PREFIX, with the hardware
# device (or the one named after PREFIX) as the program's driver; the comedi
# device's package laid in with it where that is the one. The initramfs is a
# tmpfs, which keeps the capability a file is given.
unpack() {
  rm -rf /tmp/deb && dpkg-deb -x /pc/bcdmon.deb /tmp/deb &&
    { [ "$2" != comedi ] || dpkg-deb -x /pc/bcdmon-comedi.deb /tmp/deb; } && mkdir -p "$1" &&
    cp -a /tmp/deb/usr/. "$1/" &&
    cp "$1/lib/bcdmon/${2:-hardware}/libzepdriver.so" "$1/lib/bcdmon/libzepdriver.so"
}

# The kernel's comedi modules, each loaded once, as Debian's boot would: the
# core with four nodes, /dev/comedi0 to 3, for comedi_config to attach, and
# comedi_test with none of its own.
comedi_modules() {
  load_module comedi comedi_num_legacy_minors=4 && load_module comedi_8255 &&
    load_module 8255 && load_module comedi_parport && load_module comedi_test noauto=1
}

# No comedi module loaded, as on a machine where none was set up; the nodes
# detached first, as a board attached holds its driver's module.
comedi_unloaded() {
  local node module
  for node in /dev/comedi[0-3]; do
    [ ! -e "$node" ] || comedi_config -r "$node" || return
  done
  for module in comedi_test comedi_parport 8255 comedi_8255 comedi; do
    [ ! -d "/sys/module/$module" ] || rmmod "$module" || return
  done
}

load_module() {
  local module=$1
  shift
  [ -d "/sys/module/$module" ] || insmod "/pc/comedi/$module.ko" "$@"
}

# Every node detached, then NODE attached to BOARD with its options (the
# 8255's bases), if one is named, so that a case's writes and the board
# found are the same whatever ran before; every node in GROUP, mode 0660,
# as libcomedi0's udev rule makes them (the guest has no udev).
# comedi GROUP NODE [BOARD OPTION...]
comedi() {
  local group=$1 node=$2 each
  shift 2
  comedi_modules || return
  for each in /dev/comedi[0-3]; do
    comedi_config -r "$each" && chgrp "$group" "$each" && chmod 0660 "$each" || return
  done
  [ $# -eq 0 ] || comedi_config "$node" "$@"
}

# A board file as the package's: root's, mode 0644. board FOLDER LINE...
# writes FOLDER/bcdmon/board.conf, a line an argument.
board() {
  local folder=$1/bcdmon
  shift
  mkdir -p "$folder" && printf '%s\n' "$@" >"$folder/board.conf" && chmod 0644 "$folder/board.conf"
}

echo "@ready"
while read -t 60 -r command rest; do
  case $command in
    setup)
      eval "$rest"
      echo "@setup $?"
      ;;
    run) run $rest ;;
    term) term $rest ;;
    end) break ;;
  esac
done
poweroff -f
