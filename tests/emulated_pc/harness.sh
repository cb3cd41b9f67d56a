#!/usr/bin/env bash
# The hardware drivers on a real kernel's port I/O: Debian's own kernel boots,
# in a PC that qemu emulates (TCG), an initramfs of this build's files, and
# runs the cases of the table below. Each port of the table is a debug
# console that answers every read with the boot's byte and appends every byte
# written to it to a file of its own here.
#   harness.sh initramfs WORK BCDMON IOPERM_DRIVER DEVPORT_DRIVER AS_USER CPACK CPACK_CONFIG
#       builds WORK/initrd (with the Debian package that cpack makes of this
#       build) and links WORK/vmlinuz to the kernel
#   harness.sh boot WORK BYTE
#       boots it, every port reading BYTE, and runs every case
# Every wait is bounded: a guest that hangs fails the boot, and is killed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# The block the program opens, 888 to 891.
ports=(888 889 890 891)
nobody=65534:65534
# name | setup: a command for the guest's shell, as root ("-": none) |
# user: root or UID:GID | program | outcome: reads (open, configured, read
# until the key), refused:REASON (the kernel's error, in the driver's line),
# loader (the program does not start: no driver found) | what the run wrote
# to the ports: PORT=BYTE,BYTE..., nothing to the others.
# The refusals with /dev/port: by its mode (0600), then by the kernel itself.
# A capable program outside the system folders: the loader drops the
# RUNPATH entries relative to $ORIGIN that lead out of them.
cases=(
  "ioperm as root|-|root|/pc/ioperm/bcdmon|reads|891=137"
  "devport as root|-|root|/pc/devport/bcdmon|reads|891=137"
  "ioperm as nobody|-|$nobody|/pc/ioperm/bcdmon|refused:Operation not permitted|"
  "devport as nobody|-|$nobody|/pc/devport/bcdmon|refused:Permission denied|"
  "devport readable, nobody|chmod 0666 /dev/port|$nobody|/pc/devport/bcdmon|refused:Operation not permitted|"
  "package, capable|unpack /usr && setcap cap_sys_rawio+ep /usr/bin/bcdmon|$nobody|/usr/bin/bcdmon|reads|891=137"
  "/usr/local, capable|unpack /usr/local && setcap cap_sys_rawio+ep /usr/local/bin/bcdmon|$nobody|/usr/local/bin/bcdmon|loader|"
  "own folder, capable|cp -a /pc/ioperm /tmp/own && setcap cap_sys_rawio+ep /tmp/own/bcdmon|$nobody|/tmp/own/bcdmon|loader|"
)

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
  reading="Unpacked BCD : $(digit $((byte >> 4)))$(digit $((byte & 15)))"
  local devices=() port
  for port in "${ports[@]}"; do
    : >"$dir/$port"
    devices+=(-chardev "file,id=port$port,path=$dir/$port"
      -device "isa-debugcon,iobase=$port,chardev=port$port,readback=$byte")
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
    run_case "$entry"
  done
  send end
  deadline=$((SECONDS + 30))
  while kill -0 "$pc_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done
  if [ "$failures" -ne 0 ]; then
    give_up "$failures failures"
  fi
}

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
  if [ "$setup" != - ]; then
    send "setup $setup"
    next_reply || give_up "$name: no answer to the setup"
    [ "$word $reply" = "setup 0" ] || { fail "$name: the setup failed ($word $reply)" && return; }
  fi
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
  local written
  written=$(written_since size)
  echo "$name: status $status; written: ${written:-nothing}; $caps${err:+; said: ${err%$'\n'}}"
  [ "$written" = "$writes" ] || fail "$name: written $written, not $writes"
  case $outcome in
    reads) check_reads ;;
    refused:*) check_refused "${outcome#refused:}" ;;
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
  local body readings
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

check_refused() {
  local reason=$1
  [ "$status" = 0 ] || fail "$name: status $status, not 0"
  [ "$out" = $'\nOpening Port...Failed' ] || fail "$name: standard output \"$out\""
  # One line, with the kernel's reason, the remedies and the program to give
  # the capability to; where the file's mode refused, access to it as well.
  local advice="CAP_SYS_RAWIO (sudo setcap cap_sys_rawio+ep $program)"
  [ "$reason" != "Permission denied" ] || advice+=" and its user read and write access to /dev/port"
  [[ $err == *$'\n' && ${err%$'\n'} != *$'\n'* && $err == *": $reason; run as root"* &&
    $err == *"$advice"$'\n' ]] ||
    fail "$name: on standard error \"$err\", not one line with \"$reason\" and the advice"
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
