#!/usr/bin/env bash
# The hardware drivers on a real kernel's port I/O: Debian's own kernel boots,
# in a PC that qemu emulates (TCG), an initramfs of this build's files, and
# runs the cases of the table below. Each port of the table is a debug
# console that answers every read with a byte of its own, made from the
# boot's byte, and appends every byte written to it to a file of its own here.
#   harness.sh initramfs WORK BCDMON IOPERM_DRIVER DEVPORT_DRIVER AS_USER CPACK CPACK_CONFIG
#       builds WORK/initrd (with the Debian package that cpack makes of this
#       build) and links WORK/vmlinuz to the kernel
#   harness.sh boot WORK BYTE
#       boots it, the block at 888 reading BYTE, and runs every case
# Every wait is bounded: a guest that hangs fails the boot, and is killed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# The block the program opens, 888 to 891, and a card's block elsewhere, as
# a PCI card's firmware puts it.
ports=(888 889 890 891 0xd010 0xd011 0xd012 0xd013)
nobody=65534:65534
file=/etc/bcdmon/board.conf
# name | setup: a command for the guest's shell, as root ("-": none), after
# which the board files are those it writes (init.sh's board) | user: root
# or UID:GID | program, with any arguments | outcome: reads[:PORT] (open,
# configured, the PORT read until the key; 888 if none is named),
# refused:REASON (the kernel's error, in the driver's line), bad:LINE (the
# driver's line begins "libzepdriver: LINE"), loader (the program does not
# start: no driver found) | what the run wrote to the ports:
# PORT=BYTE,BYTE..., nothing to the others.
# The refusals with /dev/port: by its mode (0600), then by the kernel itself.
# A capable program outside the system folders: the loader drops the
# RUNPATH entries relative to $ORIGIN that lead out of them. The cases run in
# order: those after the package's show it unpacked in /usr, with the
# capability. A capable run never reads a file the environment names, as
# nobody could write one there: the package's reads 888.
cases=(
  "ioperm as root|-|root|/pc/ioperm/bcdmon|reads|891=137"
  "devport as root|-|root|/pc/devport/bcdmon|reads|891=137"
  "ioperm as nobody|-|$nobody|/pc/ioperm/bcdmon|refused:Operation not permitted|"
  "devport as nobody|-|$nobody|/pc/devport/bcdmon|refused:Permission denied|"
  "devport readable, nobody|chmod 0666 /dev/port|$nobody|/pc/devport/bcdmon|refused:Operation not permitted|"
  "package, capable|unpack /usr && setcap cap_sys_rawio+ep /usr/bin/bcdmon|$nobody|/usr/bin/bcdmon|reads|891=137"
  "ioperm, board at 0xd010|board /etc 'base = 0xd010'|root|/pc/ioperm/bcdmon|reads:0xd010|0xd013=137"
  "devport, board at 0xd010|board /etc 'base = 0xd010'|root|/pc/devport/bcdmon|reads:0xd010|0xd013=137"
  "package, board at 0xd010|board /etc '# a card' 'base = 0xd010'|$nobody|/usr/bin/bcdmon|reads:0xd010|0xd013=137"
  "devport, read = 2|board /etc 'base = 0xd010' 'read = 2' 'config = 3'|root|/pc/devport/bcdmon|reads:0xd012|0xd013=137"
  "not a number|board /etc '#' 'base = 0xd01g'|root|/pc/ioperm/bcdmon|bad:$file, line 2: \"0xd01g\" is not a number|"
  "past 0xFFFF|board /etc 'base = 0xfffd'|root|/pc/devport/bcdmon|bad:$file, line 1: \"0xfffd\" as base|"
  "offset past 3|board /etc 'base = 0xd010' 'read = 4'|$nobody|/usr/bin/bcdmon|bad:$file, line 2: \"4\" is not an offset|"
  "unknown key|board /etc 'bsae = 0xd010'|root|/pc/ioperm/bcdmon|bad:$file, line 1: \"bsae\" is not a key|"
  "key twice|board /etc 'base = 0xd010' 'base = 888'|$nobody|/usr/bin/bcdmon|bad:$file, line 2: \"base\" is given twice|"
  "owned by nobody|board /etc 'base = 0xd010' && chown 65534 $file|$nobody|/usr/bin/bcdmon|bad:$file: owned by uid 65534, not root|"
  "group-writable|board /etc 'base = 0xd010' && chmod 0664 $file|root|/pc/devport/bcdmon|bad:$file: writable by others than root|"
  "unreadable|board /etc 'base = 0xd010' && chmod 0600 $file|$nobody|/usr/bin/bcdmon|bad:$file: cannot be read: Permission denied|"
  "nobody's file named, capable|echo 'base = 0xd010' >/tmp/board.conf && chown 65534 /tmp/board.conf|$nobody|/bin/env BCDMON_BOARD_CONF=/tmp/board.conf /usr/bin/bcdmon|reads|891=137"
  "/usr/local, capable|unpack /usr/local && setcap cap_sys_rawio+ep /usr/local/bin/bcdmon|$nobody|/usr/local/bin/bcdmon|loader|"
  "/usr/local, its board file|unpack /usr/local && board /usr/local/etc 'base = 0xd010' 'read = 3' 'config = 0'|root|/usr/local/bin/bcdmon|reads:0xd013|0xd010=137"
  "own folder, capable|cp -a /pc/ioperm /tmp/own && setcap cap_sys_rawio+ep /tmp/own/bcdmon|$nobody|/tmp/own/bcdmon|loader|"
)

bad_file_byte=0x59 # the boot that runs the cases of a bad board file
boot_seconds=180 # to the guest's first line; TCG on a busy machine is slow
run_seconds=60   # for a setup or a run, the guest's own bound being 30 s
key=q
header=$'\nOpening Port...Passed\nConfig Port....done'
trailer=$'\nClosing port...done\n\n'
no_capabilities="CapInh: 0000000000000000 CapPrm: 0000000000000000"
no_capabilities+=" CapEff: 0000000000000000 CapAmb: 0000000000000000"

initramfs() {
  local work=$1 bcdmon=$2 ioperm=$3 devport=$4 as_user=$5 cpack=$6 cpack_config=$7 tool
  for tool in qemu-system-x86_64 busybox setcap cpio; do
    if ! PATH=$PATH:/usr/sbin:/sbin command -v "$tool" >/dev/null; then
      echo "No $tool: scripts/test.sh installs what the suite needs (as root)" >&2
      exit 1
    fi
  done
  source "$here/../../scripts/emulated_pc.sh"
  if ! emulated_pc_kernel; then
    echo "No kernel: $emulated_pc_problem; $emulated_pc_remedy" >&2
    exit 1
  fi
  ln -sfn "$emulated_pc_vmlinuz" "$work/vmlinuz"
  local root=$work/root
  rm -rf "$root" "$work/package"
  mkdir -p "$root"/{bin,sbin,dev,proc,tmp,pc/ioperm,pc/devport}
  if ! "$cpack" --config "$cpack_config" -B "$work/package" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    exit 1
  fi
  cp "$work"/package/*.deb "$root/pc/bcdmon.deb"
  cp "$bcdmon" "$ioperm" "$root/pc/ioperm/"
  cp "$bcdmon" "$devport" "$root/pc/devport/"
  cp "$as_user" "$root/pc/"
  cp "$(command -v busybox)" "$root/bin/"
  cp "$(PATH=$PATH:/usr/sbin:/sbin command -v setcap)" "$root/sbin/"
  install -m 0755 "$here/init.sh" "$root/init"
  copy_libraries "$root"
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$work/initrd"
}

# The loader and the libraries that the files staged need, at the paths where
# the loader found them here.
copy_libraries() {
  local root=$1 file needed library
  while IFS= read -r -d '' file; do
    needed=$(ldd "$file" 2>/dev/null) || continue # not a dynamic ELF file
    if grep -q 'not found' <<<"$needed"; then
      echo "$file: $needed" >&2
      exit 1
    fi
    for library in $(awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^\//) print $i }' <<<"$needed"); do
      [[ $library == "$root"/* ]] || [ -e "$root$library" ] ||
        install -D "$(readlink -f "$library")" "$root$library"
    done
  done < <(find "$root" -type f -print0)
}

boot() {
  local work=$1 byte=$2
  dir=$work/boot-$byte
  rm -rf "$dir"
  mkdir "$dir"
  console=$dir/console.log
  local devices=() port
  for port in "${ports[@]}"; do
    : >"$dir/$port"
    devices+=(-chardev "file,id=port$port,path=$dir/$port"
      -device "isa-debugcon,iobase=$port,chardev=port$port,readback=$(answer "$port")")
  done
  trap stop_pc EXIT
  coproc pc {
    exec qemu-system-x86_64 -accel tcg -m 256 -display none -serial stdio -monitor none \
      -nic none -parallel none -no-reboot -kernel "$work/vmlinuz" -initrd "$work/initrd" \
      -append "console=ttyS0 quiet panic=-1" "${devices[@]}" 2>"$dir/qemu.log"
  }
  # Kept: bash forgets the coprocess's descriptors and process id once it ends.
  exec {from_pc}<&"${pc[0]}" {to_pc}>&"${pc[1]}"
  pc_pid=$pc_PID
  failures=0
  deadline=$((SECONDS + boot_seconds))
  if ! next_reply || [ "$word" != ready ]; then
    give_up "the guest did not start"
  fi
  local entry
  for entry in "${cases[@]}"; do
    # A bad board file stops the run before any port is read, so whatever
    # the ports answer, it goes the same way: one boot is enough for those.
    [[ $entry != *"|bad:"* ]] || [ "$byte" = "$bad_file_byte" ] || continue
    run_case "$entry"
  done
  send end
  deadline=$((SECONDS + 30))
  while kill -0 "$pc_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done
  if [ "$failures" -ne 0 ]; then
    give_up "$failures failures"
  fi
}

# What a port answers with: the boot's byte at 888, and at every other port
# a byte of its own, so that a reading shows which port was read.
answer() { echo $((byte ^ (($1 - 888) & 0xFF))); }

# A digit as the program shows it: the characters after '9' for 10 to 15.
digit() { printf "\\$(printf '%03o' $((0x30 | $1)))"; }

send() { printf '%s\n' "$*" >&"$to_pc"; }

# The guest's next answer: its word in $word, the rest in $reply; the
# kernel's lines go to the console log. False at the deadline.
next_reply() {
  local line
  while [ "$SECONDS" -lt "$deadline" ] &&
    IFS= read -t "$((deadline - SECONDS))" -r line <&"$from_pc"; do
    line=${line%$'\r'}
    if [[ $line == @* ]]; then
      word=${line%% *}
      word=${word#@}
      reply=${line#"@$word"}
      reply=${reply# }
      return 0
    fi
    printf '%s\n' "$line" >>"$console"
  done
  word=""
  return 1
}

run_case() {
  local name setup user program outcome writes
  IFS='|' read -r name setup user program outcome writes <<<"$1"
  deadline=$((SECONDS + run_seconds))
  [ "$setup" != - ] || setup=""
  send "setup rm -rf /etc/bcdmon /usr/local/etc/bcdmon /tmp/board.conf${setup:+ && $setup}"
  next_reply || give_up "$name: no answer to the setup"
  [ "$word $reply" = "setup 0" ] || { fail "$name: the setup failed ($word $reply)" && return; }
  # Counted from here: the firmware wrote to the ports too, while it booted.
  local -A size
  for port in "${ports[@]}"; do size[$port]=$(stat -c %s "$dir/$port"); done
  send "run $user $program"
  local caps=- status=- out="" err=""
  while next_reply && [ "$word" != end ]; do
    case $word in
      caps) caps=$reply ;;
      key) send "$key" ;;
      status) status=$reply ;;
      out) out=$(unpack "$reply") && out=${out%.} ;;
      err) err=$(unpack "$reply") && err=${err%.} ;;
    esac
  done
  [ "$word" = end ] || give_up "$name: the run did not end"
  local written shown summary
  written=$(written_since size)
  shown=$(grep -m 1 '^Unpacked BCD' <<<"$out" || true)
  summary="$name: status $status; written: ${written:-nothing}${shown:+; shown: $shown}"
  echo "$summary; $caps${err:+; said: ${err%$'\n'}}"
  [ "$written" = "$writes" ] || fail "$name: written $written, not $writes"
  case $outcome in
    reads) check_reads "${ports[0]}" ;;
    reads:*) check_reads "${outcome#reads:}" ;;
    refused:*) check_refused "${outcome#refused:}" ;;
    bad:*) check_bad "${outcome#bad:}" ;;
    loader) check_loader ;;
  esac
}

# The text, with a dot after it, which keeps its last line feeds through $().
unpack() {
  base64 -d <<<"$1" | gunzip
  printf .
}

# The bytes appended to each port's file since the sizes in the array named.
written_since() {
  local -n before=$1
  local port bytes shown=""
  for port in "${ports[@]}"; do
    bytes=$(tail -c "+$((before[$port] + 1))" "$dir/$port" | od -An -tu1 -v | xargs)
    [ -z "$bytes" ] || shown+="${shown:+ }$port=${bytes// /,}"
  done
  printf '%s' "$shown"
}

check_reads() {
  local value body readings reading
  value=$(answer "$1")
  reading="Unpacked BCD : $(digit $((value >> 4)))$(digit $((value & 15)))"
  body=${out#"$header"}
  body=${body%"$trailer"}
  readings=${body//$'\n'"$reading"/.}
  [ "$status" = 1 ] || fail "$name: status $status, not 1"
  [ -z "$err" ] || fail "$name: on standard error: $err"
  [ "$header$body$trailer" = "$out" ] && [ -n "$readings" ] && [ -z "${readings//./}" ] ||
    fail "$name: not \"$reading\" on every line between the header and the trailer:" \
      "$(head -c 300 <<<"$out")"
  [ "$caps" = "$no_capabilities" ] || fail "$name: capabilities while it reads: $caps"
}

# The open failed: "Failed", status 0, and one line on standard error.
check_failed() {
  [ "$status" = 0 ] || fail "$name: status $status, not 0"
  [ "$out" = $'\nOpening Port...Failed' ] || fail "$name: standard output \"$out\""
  [[ $err == *$'\n' && ${err%$'\n'} != *$'\n'* ]] || fail "$name: not one line: \"$err\""
}

check_refused() {
  local reason=$1
  check_failed
  # The kernel's reason, the remedies and the program to give the capability
  # to; where the file's mode refused, access to it as well.
  local advice="CAP_SYS_RAWIO (sudo setcap cap_sys_rawio+ep $program)"
  [ "$reason" != "Permission denied" ] || advice+=" and its user read and write access to /dev/port"
  [[ $err == *": $reason; run as root"* && $err == *"$advice"$'\n' ]] ||
    fail "$name: on standard error \"$err\", not \"$reason\" and the advice"
}

# A bad board file: the driver's line about it alone.
check_bad() {
  check_failed
  [[ $err == "libzepdriver: $1"* ]] || fail "$name: \"$err\" does not begin \"libzepdriver: $1\""
}

check_loader() {
  [ "$status" = 127 ] || fail "$name: status $status, not 127"
  [ -z "$out" ] || fail "$name: standard output \"$out\""
  [[ $err == *"libzepdriver.so: cannot open shared object file"* ]] ||
    fail "$name: on standard error \"$err\", not the loader's"
}

fail() {
  echo "FAIL (ports reading $byte): $*" >&2
  failures=$((failures + 1))
}

give_up() {
  echo "FAIL (ports reading $byte): $*" >&2
  echo "The guest's console and qemu's messages (in $dir):" >&2
  tail -n 40 "$console" "$dir/qemu.log" >&2 2>/dev/null || true
  exit 1
}

stop_pc() {
  if [ -n "${pc_pid:-}" ] && kill -0 "$pc_pid" 2>/dev/null; then kill "$pc_pid"; fi
}

"$@"
