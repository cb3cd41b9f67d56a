#!/usr/bin/env bash
# The hardware drivers on a real kernel's port I/O, and the comedi device on
# the kernel's own comedi drivers: Debian's own kernel boots, in a PC that
# qemu emulates (TCG), an initramfs of this build's files, and runs the cases
# of the table below. Each port of the table is a debug
# console that answers every read with a byte of its own, made from the
# boot's byte, and appends every byte written to it to a file of its own here.
#   harness.sh initramfs WORK BCDMON IOPERM_DRIVER DEVPORT_DRIVER AS_USER PACKAGE_DIR CMAKE BUILD
#       builds WORK/initrd, with the Debian packages in PACKAGE_DIR (bcdmon
#       and bcdmon-comedi), the build's own install (CMAKE --install BUILD,
#       its prefix /usr/local) and the kernel's comedi modules, and links
#       WORK/vmlinuz to the kernel
#   harness.sh boot WORK BYTE [lockdown]
#       boots it, the block at 888 reading BYTE, and runs every case; or,
#       with the kernel locked down as under UEFI Secure Boot, those of
#       the lockdown
# Every wait is bounded: a guest that hangs fails the boot, and is killed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# The block the program opens, 888 to 891, and a card's block elsewhere, as
# a PCI card's firmware puts it.
ports=(888 889 890 891 0xd010 0xd011 0xd012 0xd013)
nobody=65534:65534
# The board file of the package's drivers, and of the build's (/pc/ioperm,
# /pc/devport and its install in /usr/local), whose prefix is /usr/local.
file=/etc/bcdmon/board.conf
local_file=/usr/local$file
# name | setup: a command for the guest's shell, as root ("-": none), after
# which the board files are those it writes (init.sh's board) | user: root
# or UID:GID | program, with any arguments | what the driver says at load of
# the ports it will touch, after "libzepdriver: " ("-": nothing) | outcome:
# reads[:PORT[>>BITS]] (open, configured, the PORT read until the key, its
# answer shifted right by BITS; 888 if none is named), detached:LINE (the
# same, the board gone in the middle, said in "libzepdriver: LINE"), counts (the same with the simulated device's counter, and its
# notice), terminal (the same with the output and errors on the terminal),
# refused:REASON (the raw drivers' line after "0x37b: "), failed:LINE (the
# open fails, and the driver's line is "libzepdriver: LINE"), bad:LINE (the
# driver's line begins "libzepdriver: LINE"), loader (the program does not
# start: no driver found) | what the run wrote to the ports:
# PORT=BYTE,BYTE..., nothing to the others ("bidir": what 890 answers, with
# a printer port's bidirectional bit).
# The refusals with /dev/port: by its mode (0600), then by the kernel itself.
# A capable program outside the system folders: the loader drops the
# RUNPATH entries relative to $ORIGIN that lead out of them, and keeps the
# absolute one, the installed devices' folder. The cases run in order: those
# after the package's show it unpacked in /usr, with the capability. A
# capable run never reads a file the environment names, as nobody could
# write one there: the package's reads 888.
block_888="hardware driver: reads I/O port 0x378 and configures 0x37b, of the block 0x378 to 0x37b"
block_card="hardware driver: reads I/O port 0xd010 and configures 0xd013, of the block 0xd010 to"
block_card+=" 0xd013"
defaults="$block_888 (no board file $file: the defaults)"
card="$block_card (board file $file)"
local_defaults="$block_888 (no board file $local_file: the defaults)"
local_card="$block_card (board file $local_file)"
eperm="Operation not permitted"
as_root="; run it as root: sudo"
group_grant="; run it as root (sudo bcdmon), or have the group bcdmon granted the ports and join"
group_grant+=" it: sudo dpkg-reconfigure bcdmon && sudo adduser \$USER bcdmon, then log in again"
user_namespace=", although the program held CAP_SYS_RAWIO; the kernel is not locked down, so a"
user_namespace+=" user namespace or container withholds port I/O, or a security module refused it"
capable="unpack /usr && setcap cap_sys_rawio+ep /usr/bin/bcdmon"
# The build's install, with its board file, laid into /usr/local afresh.
local_install="rm -rf /usr/local && mkdir -p /usr/local && cp -a /pc/local/usr/local/. /usr/local/"
simulated="simulated device, no board is read: a counter of hundredths of a second"
# The package's comedi device: a user in the nodes' group reads with no
# privilege, as the kernel does the port I/O, locked down or not. Each setup
# detaches every node and attaches afresh (init.sh's comedi). Without a
# comedi key the device finds the one board: the 8255 at 888, attached to
# /dev/comedi2 with the other nodes unattached, whose attach writes 0x9b to
# 891 before the run. The device tells its grouped lines by making port A an
# output (0x8b), then sets port B's direction (0x89). Port C's run follows on
# the same attach, A and B outputs already: the device moves port A in, then
# back out (0x99, 0x89). Attached at two bases, the 8255 has a subdevice per
# chip, and only the second chip's control register gets a word. Detached
# in the middle of a run, the board reads as a floating bus, said once.
# comedi_parport's data lines become inputs by the bidirectional bit of the
# control port (890), which it sets on what the port reads back ("bidir");
# its status lines are the status port's (889) bits 3 to 7. With no module
# loaded there is no node; comedi_test attaches with no board, and has no
# digital input.
iocard=990 # the nodes' group, as libcomedi0's udev rule names it: in the guest's /etc/group
in_group=65534:$iocard
on_8255="unpack /usr comedi && comedi iocard /dev/comedi2 8255 0x378"
found_8255="comedi device: reads lines 0 to 7 (port A) of subdevice 0 (24 lines of digital I/O) on"
found_8255+=" /dev/comedi2, board 8255, the one board found (no board file $file: the defaults); 137"
found_8255+=" makes ports A and B outputs, which a run drives, low after configuring: wire nothing that"
found_8255+=" drives to them, and read the inputs, port C, with read = 2"
at_every_boot="(at every boot: bcdmon(1), COMEDI DEVICE)"
card_node="for a PCI or USB card, its comedi driver makes a node once the card is there (sudo"
card_node+=" modprobe 8255_pci, ni_usb6501 or vmk80xx: the card's own), and /proc/comedi names it"
gone="comedi device: reading subdevice 0 of /dev/comedi2 failed: No such device, as the board was"
gone+=" detached or removed: attach it or plug it in again, then start the program again; the"
gone+=" readings show FF from here"
on_parport="unpack /usr comedi && comedi iocard /dev/comedi0 comedi_parport 0x378"
parport="comedi device: reads lines 0 to 7 of subdevice 0 (8 lines of digital I/O) on /dev/comedi0,"
parport+=" board comedi_parport, the one board found (no board file $file: the defaults); 137 means"
parport+=" nothing to this subdevice: configuring makes the lines read inputs and leaves the others"
parport+=" alone"
status_lines="comedi device: reads lines 0 to 4 of subdevice 1 (5 digital inputs) on /dev/comedi0,"
status_lines+=" board comedi_parport, the one board found (board file $file); bits 5 to 7 read 0"
comedi_cases=(
  "comedi, port A, found|$on_8255|$in_group|/usr/bin/bcdmon|$found_8255|reads|891=139,137"
  "comedi, port C|unpack /usr comedi && board /etc 'read = 2'|$in_group|/usr/bin/bcdmon|comedi device: reads lines 16 to 23 (port C) of subdevice 0 (24 lines of digital I/O) on /dev/comedi2, board 8255, the one board found (board file $file)|reads:890|891=153,137"
  "comedi, second chip|unpack /usr comedi && comedi iocard /dev/comedi0 8255 0x378,0xd010 && board /etc 'subdevice = 1' 'read = 2'|$in_group|/usr/bin/bcdmon|comedi device: reads lines 16 to 23 (port C) of subdevice 1 (24 lines of digital I/O) on /dev/comedi0, board 8255, the one board found (board file $file)|reads:0xd012|0xd013=139,137"
  "comedi, detached|$on_8255 && during='comedi_config -r /dev/comedi2'|$in_group|/usr/bin/bcdmon|$found_8255|detached:$gone|891=139,137"
  "comedi, printer port|$on_parport|$in_group|/usr/bin/bcdmon|$parport|reads|890=bidir"
  "comedi, status lines|$on_parport && board /etc 'subdevice = 1'|$in_group|/usr/bin/bcdmon|$status_lines|reads:889>>3|"
  "comedi, outside the group|$on_8255|$nobody|/usr/bin/bcdmon|-|failed:comedi device: cannot open /dev/comedi0, /dev/comedi1, /dev/comedi2 and /dev/comedi3: Permission denied; it opens for its group iocard: sudo adduser \$USER iocard, then log in again|"
  "comedi, unattached|unpack /usr comedi && comedi iocard /dev/comedi0 && board /etc 'comedi = /dev/comedi0'|$in_group|/usr/bin/bcdmon|-|failed:comedi device: /dev/comedi0 is attached to no board: a PCI or USB card has a node of its own, which /proc/comedi names (comedi = /dev/comediN in $file); for a board at an I/O base, attach it: sudo comedi_config /dev/comedi0 8255 0x378 $at_every_boot|"
  # Another node holding the base, as a printer port's parport_pc would: the
  # kernel attaches the node all the same, with no 8255. Before the row that
  # unloads the modules, which detaches every node.
  "comedi, base held|unpack /usr comedi && comedi iocard /dev/comedi1 8255 0x378 && comedi_config /dev/comedi0 8255 0x378 && board /etc 'comedi = /dev/comedi0'|$in_group|/usr/bin/bcdmon|-|failed:comedi device: /dev/comedi0 is attached as an 8255 without its ports, which another driver held at the attach (the kernel's log says \"I/O port conflict\", /proc/ioports names the holder: parport0 is a printer port's): free them (a printer port's: sudo modprobe -r lp ppdev parport_pc), then attach again: sudo comedi_config -r /dev/comedi0 && sudo comedi_config /dev/comedi0 8255 0x378 (bcdmon(1), COMEDI DEVICE)|"
  "comedi, no modules|unpack /usr comedi && comedi_unloaded|$in_group|/usr/bin/bcdmon|-|failed:comedi device: no board is attached to /dev/comedi0 to /dev/comedi47: $card_node; for a board at an I/O base, attach it: sudo modprobe comedi comedi_num_legacy_minors=4 && sudo modprobe 8255 && sudo comedi_config /dev/comedi0 8255 0x378 $at_every_boot|"
  "comedi, no digital input|unpack /usr comedi && comedi iocard /dev/comedi1 comedi_test && board /etc 'comedi = /dev/comedi1'|$in_group|/usr/bin/bcdmon|-|failed:comedi device: /dev/comedi1 is attached to comedi_test (driver comedi_test), which has no digital input or digital I/O: name the node of the board to read in $file, as comedi = /dev/comediN|"
)
cases=(
  "ioperm as root|-|root|/pc/ioperm/bcdmon|$local_defaults|reads|891=137"
  "devport as root|-|root|/pc/devport/bcdmon|$local_defaults|reads|891=137"
  "ioperm on the terminal|-|root|/pc/ioperm/bcdmon|$local_defaults|terminal|891=137"
  "ioperm as nobody|-|$nobody|/pc/ioperm/bcdmon|$local_defaults|refused:$eperm$as_root /pc/ioperm/bcdmon|"
  "devport as nobody|-|$nobody|/pc/devport/bcdmon|$local_defaults|refused:Permission denied; /dev/port opens for root alone: run it as root: sudo /pc/devport/bcdmon|"
  "devport readable, nobody|chmod 0666 /dev/port|$nobody|/pc/devport/bcdmon|$local_defaults|refused:$eperm$as_root /pc/devport/bcdmon|"
  "ioperm, root in a user namespace|-|root|/bin/unshare -r /pc/ioperm/bcdmon|$local_defaults|refused:$eperm$user_namespace|"
  "package, no grant|unpack /usr|$nobody|/usr/bin/bcdmon|$defaults|refused:$eperm$group_grant|"
  "package, capable|$capable|$nobody|/usr/bin/bcdmon|$defaults|reads|891=137"
  "ioperm, board at 0xd010|board /usr/local/etc 'base = 0xd010'|root|/pc/ioperm/bcdmon|$local_card|reads:0xd010|0xd013=137"
  # With the comedi device's keys too, which this driver names and ignores.
  "devport, board at 0xd010|board /usr/local/etc 'base = 0xd010' 'comedi = /dev/comedi1' 'subdevice = 1'|root|/pc/devport/bcdmon|$local_card; the file's comedi and subdevice are the comedi device's, which this driver ignores|reads:0xd010|0xd013=137"
  "package, board at 0xd010|board /etc '# a card' 'base = 0xd010'|$nobody|/usr/bin/bcdmon|$card|reads:0xd010|0xd013=137"
  "devport, read = 2|board /usr/local/etc 'base = 0xd010' 'read = 2' 'config = 3'|root|/pc/devport/bcdmon|${local_card/port 0xd010/port 0xd012}|reads:0xd012|0xd013=137"
  "not a number|board /usr/local/etc '#' 'base = 0xd01g'|root|/pc/ioperm/bcdmon|-|bad:$local_file, line 2: \"0xd01g\" is not a number|"
  "past 0xFFFF|board /usr/local/etc 'base = 0xfffd'|root|/pc/devport/bcdmon|-|bad:$local_file, line 1: \"0xfffd\" as base|"
  "offset past 3|board /etc 'base = 0xd010' 'read = 4'|$nobody|/usr/bin/bcdmon|-|bad:$file, line 2: \"4\" is not an offset|"
  "unknown key|board /usr/local/etc 'bsae = 0xd010'|root|/pc/ioperm/bcdmon|-|bad:$local_file, line 1: \"bsae\" is not a key|"
  "key twice|board /etc 'base = 0xd010' 'base = 888'|$nobody|/usr/bin/bcdmon|-|bad:$file, line 2: \"base\" is given twice|"
  "owned by nobody|board /etc 'base = 0xd010' && chown 65534 $file|$nobody|/usr/bin/bcdmon|-|bad:$file: owned by uid 65534, not root|"
  "group-writable|board /usr/local/etc 'base = 0xd010' && chmod 0664 $local_file|root|/pc/devport/bcdmon|-|bad:$local_file: writable by others than root|"
  "unreadable|board /etc 'base = 0xd010' && chmod 0600 $file|$nobody|/usr/bin/bcdmon|-|bad:$file: cannot be read: Permission denied|"
  "nobody's file named, capable|echo 'base = 0xd010' >/tmp/board.conf && chown 65534 /tmp/board.conf|$nobody|/bin/env BCDMON_BOARD_CONF=/tmp/board.conf /usr/bin/bcdmon|$defaults|reads|891=137"
  # The install's own board file, all comments, keeps the defaults.
  "/usr/local, capable|$local_install && setcap cap_sys_rawio+ep /usr/local/bin/bcdmon|$nobody|/usr/local/bin/bcdmon|$block_888 (board file $local_file)|reads|891=137"
  "/usr/local, its board file|$local_install && board /usr/local/etc 'base = 0xd010' 'read = 3' 'config = 0'|root|/usr/local/bin/bcdmon|hardware driver: reads I/O port 0xd013 and configures 0xd010, of the block 0xd010 to 0xd013 (board file $local_file)|reads:0xd013|0xd010=137"
  # With no /usr/local: the loader would find a driver in the absolute entry
  # of the RUNPATH, /usr/local/lib/bcdmon, and the case would turn on what an
  # earlier one installed. Its own, beside it, is never loaded.
  "own folder, capable|rm -rf /usr/local && cp -a /pc/ioperm /tmp/own && setcap cap_sys_rawio+ep /tmp/own/bcdmon|$nobody|/tmp/own/bcdmon|-|loader|"
  "${comedi_cases[@]}"
  # Last, as the package's driver is the simulated device from here on.
  "package, simulated, capable|unpack /usr simulated && setcap cap_sys_rawio+ep /usr/bin/bcdmon|$nobody|/usr/bin/bcdmon|-|counts|"
)
# Locked down, the kernel refuses every process, root and the capable
# program included, whatever the mode of /dev/port says first.
locked="; the kernel is locked down (integrity), as under UEFI Secure Boot, and refuses port I/O"
locked+=" to every process, root included: a board that a comedi driver of the kernel knows (an 8255"
locked+=" card, the printer port, a USB module) is read through it, with no privilege, by the comedi"
locked+=" device (bcdmon-comedi; bcdmon(1), COMEDI DEVICE); for any other board, turning Secure Boot"
locked+=" off in the firmware's setup lifts it (see kernel_lockdown(7))"
lockdown_cases=(
  "ioperm as root, locked|-|root|/pc/ioperm/bcdmon|$local_defaults|refused:$eperm$locked|"
  "devport as root, locked|-|root|/pc/devport/bcdmon|$local_defaults|refused:$eperm$locked|"
  "ioperm as nobody, locked|-|$nobody|/pc/ioperm/bcdmon|$local_defaults|refused:$eperm$locked|"
  "devport as nobody, locked|-|$nobody|/pc/devport/bcdmon|$local_defaults|refused:Permission denied$locked|"
  "package, capable, locked|$capable|$nobody|/usr/bin/bcdmon|$defaults|refused:$eperm$locked|"
  "${comedi_cases[@]}"
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
  local work=$1 bcdmon=$2 ioperm=$3 devport=$4 as_user=$5 package_dir=$6 cmake=$7 build=$8 tool
  for tool in qemu-system-x86_64 busybox setcap cpio comedi_config; do
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
  rm -rf "$root"
  mkdir -p "$root"/{bin,sbin,dev,proc,sys,tmp,pc/ioperm,pc/devport}
  local package debs
  for package in bcdmon bcdmon-comedi; do
    debs=("$package_dir/${package}_"*.deb)
    if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
      echo "Not one ${package}_*.deb in $package_dir: the test package.build makes it" >&2
      exit 1
    fi
    cp "${debs[0]}" "$root/pc/$package.deb"
  done
  # Laid out here too, for the libraries its comedi device needs.
  rm -rf "$work/comedi-deb"
  dpkg-deb -x "$root/pc/bcdmon-comedi.deb" "$work/comedi-deb"
  # The build's install, with the hardware device as the program's driver,
  # as an admin would switch it.
  local installed=$root/pc/local/usr/local
  if ! DESTDIR=$root/pc/local "$cmake" --install "$build" >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    exit 1
  fi
  if [ ! -x "$installed/bin/bcdmon" ]; then
    echo "No usr/local/bin/bcdmon in $root/pc/local: the cases take the build's prefix to be" \
      "/usr/local, the dev preset's" >&2
    exit 1
  fi
  cp "$installed/lib/bcdmon/hardware/libzepdriver.so" "$installed/lib/bcdmon/libzepdriver.so"
  cp "$bcdmon" "$ioperm" "$root/pc/ioperm/"
  cp "$bcdmon" "$devport" "$root/pc/devport/"
  cp "$as_user" "$root/pc/"
  cp "$(command -v busybox)" "$root/bin/"
  cp "$(PATH=$PATH:/usr/sbin:/sbin command -v setcap)" "$root/sbin/"
  # What a Debian machine has for a comedi board: the kernel's own modules,
  # and libcomedi0's comedi_config, which attaches a node to the board.
  cp -r "$emulated_pc_modules" "$root/pc/comedi"
  cp "$(PATH=$PATH:/usr/sbin:/sbin command -v comedi_config)" "$root/sbin/"
  mkdir "$root/etc"
  printf 'root:x:0:\niocard:x:%s:\n' "$iocard" >"$root/etc/group"
  install -m 0755 "$here/init.sh" "$root/init"
  copy_libraries "$root" "$work/comedi-deb"
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$work/initrd"
}

# The loader and the libraries that the files staged need, and those of the
# files in each FOLDER, at the paths where the loader found them here. The
# install is left out: its files are the build's, staged elsewhere too, and
# here its program would take its driver from this machine's /usr/local, if
# any.
#   copy_libraries ROOT [FOLDER...]
copy_libraries() {
  local root=$1 file needed library
  shift
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
  done < <(find "$root" "$@" -path "$root/pc/local" -prune -o -type f -print0)
}

boot() {
  local work=$1 byte=$2 locked=${3:-} entries=("${cases[@]}")
  local shown="[none] integrity confidentiality"
  if [ -n "$locked" ]; then
    entries=("${lockdown_cases[@]}")
    shown="none [integrity] confidentiality"
  fi
  dir=$work/boot-$byte${locked:+-$locked}
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
      -append "console=ttyS0 quiet panic=-1${locked:+ lockdown=integrity}" "${devices[@]}" \
      2>"$dir/qemu.log"
  }
  # Kept: bash forgets the coprocess's descriptors and process id once it ends.
  exec {from_pc}<&"${pc[0]}" {to_pc}>&"${pc[1]}"
  pc_pid=$pc_PID
  failures=0
  on_terminal="" # what the guest says outside a run on the terminal goes to the log alone
  deadline=$((SECONDS + boot_seconds))
  if ! next_reply || [ "$word" != ready ]; then
    give_up "the guest did not start"
  fi
  deadline=$((SECONDS + run_seconds))
  send "setup grep -qxF '$shown' /sys/kernel/security/lockdown"
  if ! next_reply || [ "$word $reply" != "setup 0" ]; then
    fail "the lockdown is not shown as \"$shown\""
  fi
  local entry
  for entry in "${entries[@]}"; do
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
# kernel's lines go to the console log, and while $on_terminal is set to
# $terminal too, the key typed at the first reading. False at the deadline.
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
    if [ -n "$on_terminal" ]; then
      terminal+=$line$'\n'
      [[ $line != "Unpacked BCD"* ]] || [ "$on_terminal" = keyed ] || { send "$key" && on_terminal=keyed; }
    fi
  done
  word=""
  return 1
}

run_case() {
  local name setup user program announced outcome writes
  IFS='|' read -r name setup user program announced outcome writes <<<"$1"
  deadline=$((SECONDS + run_seconds))
  [ "$setup" != - ] || setup=""
  send "setup rm -rf /etc/bcdmon /usr/local/etc/bcdmon /tmp/board.conf${setup:+ && $setup}"
  next_reply || give_up "$name: no answer to the setup"
  [ "$word $reply" = "setup 0" ] || { fail "$name: the setup failed ($word $reply)" && return; }
  # Counted from here: the firmware wrote to the ports too, while it booted.
  local -A size
  for port in "${ports[@]}"; do size[$port]=$(stat -c %s "$dir/$port"); done
  local caps=- status=- out="" err="" on_terminal="" terminal=""
  if [ "$outcome" = terminal ]; then
    on_terminal=on
    send "term $user $program"
  else
    send "run $user $program"
  fi
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
  on_terminal=""
  local written shown summary
  written=$(written_since size)
  shown=$(grep -m 1 '^Unpacked BCD' <<<"$out" || true)
  summary="$name: status $status; written: ${written:-nothing}${shown:+; shown: $shown}"
  echo "$summary; $caps${err:+; said: ${err%$'\n'}}"
  writes=${writes//bidir/$(($(answer 890) | 0x20))}
  [ "$written" = "$writes" ] || fail "$name: written $written, not $writes"
  local said=""
  [ "$announced" = - ] || said="libzepdriver: $announced"$'\n'
  case $outcome in
    reads) check_reads "${ports[0]}" ;;
    reads:*) check_reads "${outcome#reads:}" ;;
    counts) said="libzepdriver: $simulated"$'\n' && check_reads counter ;;
    terminal) check_terminal ;;
    detached:*) check_detached "${outcome#detached:}" ;;
    refused:*) check_said "cannot use I/O ports 0x378 to 0x37b: ${outcome#refused:}" ;;
    failed:*) check_said "${outcome#failed:}" ;;
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
  check_readings "$1"
  [ "$err" = "$said" ] || fail "$name: on standard error \"$err\", not \"$said\""
  [ "$caps" = "$no_capabilities" ] || fail "$name: capabilities while it reads: $caps"
}

# The output: the header, the readings of PORT (or of the simulated
# device's counter), each on a line of its own, and the trailer; and the
# status of a key.
check_readings() {
  local value body readings reading="Unpacked BCD : NN"
  body=${out#"$header"}
  body=${body%"$trailer"}
  if [ "$1" = counter ]; then
    readings=${body//$'\n'"Unpacked BCD : "[0-9][0-9]/.}
  else
    value=$(answer "${1%>>*}")
    [[ $1 != *'>>'* ]] || value=$((value >> ${1#*>>}))
    reading="Unpacked BCD : $(digit $((value >> 4)))$(digit $((value & 15)))"
    readings=${body//$'\n'"$reading"/.}
  fi
  [ "$status" = 1 ] || fail "$name: status $status, not 1"
  [ "$header$body$trailer" = "$out" ] && [ -n "$readings" ] && [ -z "${readings//./}" ] ||
    fail "$name: not \"$reading\" on every line between the header and the trailer:" \
      "$(head -c 300 <<<"$out")"
}

# The board gone in the middle of the run: the port's readings, then a
# floating bus's, and the driver's one line about it; the key ends the run.
check_detached() {
  local value body reading floating
  floating="Unpacked BCD : $(digit 15)$(digit 15)"
  value=$(answer "${ports[0]}")
  reading="Unpacked BCD : $(digit $((value >> 4)))$(digit $((value & 15)))"
  body=${out#"$header"}
  body=${body%"$trailer"}
  [ "$status" = 1 ] || fail "$name: status $status, not 1"
  [ "$header$body$trailer" = "$out" ] &&
    awk -v port="$reading" -v floating="$floating" '
      NR == 1 { next }
      $0 == floating { gone = 1; next }
      $0 != port || gone { bad = 1 }
      END { exit !(gone && !bad) }' <<<"$body" ||
    fail "$name: not the port's readings, then a floating bus's: $(tail -c 300 <<<"$out")"
  local line="libzepdriver: $1"
  [ "$err" = "$said$line"$'\n' ] || fail "$name: on standard error \"$err\", not \"$line\""
}

# Output and errors on the terminal, which turns every line feed into a
# carriage return and a line feed: the driver's line first, and then every
# line of the program whole. The line feed the guest ended it with goes.
check_terminal() {
  terminal=${terminal%$'\n'}
  [[ $terminal == "$said"* ]] || fail "$name: the terminal does not begin \"$said\""
  out=${terminal#"$said"}
  check_readings "${ports[0]}"
}

# The open failed: "Failed" and status 0.
check_failed() {
  [ "$status" = 0 ] || fail "$name: status $status, not 0"
  [ "$out" = $'\nOpening Port...Failed' ] || fail "$name: standard output \"$out\""
}

# The driver's line at load, and its line about the failed open.
check_said() {
  check_failed
  local line="libzepdriver: $1"
  [ "$err" = "$said$line"$'\n' ] || fail "$name: on standard error \"$err\", not \"$line\""
}

# A bad board file: the driver's line about it alone.
check_bad() {
  check_failed
  [[ $err == *$'\n' && ${err%$'\n'} != *$'\n'* ]] || fail "$name: not one line: \"$err\""
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
