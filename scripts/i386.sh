# Sourced by the test script, after packages.sh: what the shipped 32-bit
# build's tests need to run, Wine's 32-bit loader and a way to run 32-bit x86
# programs. Where the kernel runs none, they run through qemu's user-mode
# emulator, registered with binfmt_misc for the length of the run;
# BCDMON_I386_VIA_QEMU=1 takes that way even where the kernel runs them.
#
#   i386_install_wine  installs Wine's 32-bit loader (as root), before the
#                      rest of Wine; false, with i386_problem and i386_remedy
#                      set, when it cannot
#   i386_prepare       makes ready what else is missing (as root); false, with
#                      the problem set, when it cannot
#   i386_enable        makes 32-bit programs run, through qemu if need be;
#                      call it in a subshell: its EXIT trap removes the entry

wine32=/usr/lib/wine/wine
i386_binfmt=/proc/sys/fs/binfmt_misc
i386_entry=bcdmon-qemu-i386
i386_problem=""
i386_remedy=""

# The kernel's own 32-bit loader, or an emulator registered for it.
i386_runs_wine32() { "$wine32" --version >/dev/null 2>&1; }

i386_is_root() { [ "$(id -u)" -eq 0 ]; }

i386_via_qemu_asked() { [ "${BCDMON_I386_VIA_QEMU:-0}" = 1 ]; }

# Wine's i386 libraries must be at the versions of their amd64 twins, so its
# 32-bit loader comes with its 64-bit one, in one install.
i386_install_wine() {
  if i386_is_root; then
    add_architecture i386
    if ! require_packages "${i686_packages[@]}" wine64 && ! i386_install_without_security; then
      i386_problem="${i686_packages[*]} could not be installed (apt's messages above)"
      i386_remedy="sudo apt-get update, then run scripts/test.sh again"
      return 1
    fi
  elif [ -n "$(missing_packages "${i686_packages[@]}")" ]; then
    i386_problem="Wine's 32-bit loader is not installed (${i686_packages[*]})"
    i386_remedy="sudo dpkg --add-architecture i386 && sudo apt-get update &&"
    i386_remedy+=" sudo apt-get install -y --no-install-recommends ${i686_packages[*]}"
    return 1
  fi
}

i386_prepare() {
  if ! i386_via_qemu_asked && i386_runs_wine32; then return 0; fi
  if ! i386_is_root; then
    if i386_via_qemu_asked; then
      i386_problem="BCDMON_I386_VIA_QEMU=1 asks for qemu-user, and registering it needs root"
      i386_remedy="sudo BCDMON_I386_VIA_QEMU=1 scripts/test.sh"
    else
      local error
      error=$("$wine32" --version 2>&1 | head -n 1 || true)
      i386_problem="$wine32 does not start${error:+ ($error)}: this kernel"
      i386_problem+=" runs no 32-bit programs, and registering qemu-user for them needs root"
      i386_remedy="sudo scripts/test.sh"
    fi
    return 1
  fi
  i386_install_qemu
}

# A security mirror caught mid-sync can leave the suite's i386 list unfetched
# while its amd64 lists came, and apt then finds no i386 twin at the version
# of an amd64 library from it. Wine is there for the tests alone, so it is
# then taken, both halves at once, from the release and its updates, with the
# security suite left out of the sources; never by removing a package.
i386_install_without_security() {
  local parts file status=0
  parts=$(mktemp -d)
  for file in /etc/apt/sources.list.d/*.sources; do
    [ ! -e "$file" ] || awk 'BEGIN { RS = ""; ORS = "\n\n" } !/-security/' "$file" >"$parts/${file##*/}"
  done
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    grep -v -e '-security' >"$parts/without-security.list" || true
  echo "Installing ${i686_packages[*]} and wine64 without the security suite" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends --no-remove \
    -o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$parts" \
    "${i686_packages[@]}" wine64 || status=$?
  rm -rf "$parts"
  return "$status"
}

# Debian 12's qemu 7.2 takes seconds to start each 32-bit Wine process (over
# a minute without QEMU_RESERVED_VA); bookworm-backports' is much faster. Its
# source is the machine's own Debian mirror, with the suite bookworm-backports,
# in a list of its own that is removed once qemu is installed.
i386_install_qemu() {
  local version
  version=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)
  if [ -n "$version" ] && dpkg --compare-versions "$version" ge 1:8; then return 0; fi
  local mirror
  mirror=$(apt-cache policy | awk '$3 == "bookworm/main" { print $2; exit }')
  if [ -z "$mirror" ]; then
    i386_problem="no Debian bookworm mirror in the apt sources to take qemu-user-static from"
    i386_remedy="install qemu-user-static 8 or later, then run scripts/test.sh again"
    return 1
  fi
  local list=/etc/apt/sources.list.d/bcdmon-bookworm-backports.list
  echo "Installing qemu-user-static from bookworm-backports (through $list, removed after)" >&2
  echo "deb $mirror bookworm-backports main" >"$list"
  local status=0
  apt-get update -q -o Dir::Etc::sourcelist="$list" -o Dir::Etc::sourceparts=- \
    -o APT::Get::List-Cleanup=0 &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
      -t bookworm-backports qemu-user-static || status=$?
  rm -f "$list"
  if [ "$status" -ne 0 ]; then
    i386_problem="qemu-user-static could not be installed from bookworm-backports"
    i386_remedy="install qemu-user-static 8 or later, then run scripts/test.sh again"
    return 1
  fi
}

# The entry is tried before the kernel's own ELF loader, so it takes every
# 32-bit x86 program while it is there. F: the emulator is opened now, and
# found whatever the program's root.
i386_enable() {
  if ! i386_via_qemu_asked && i386_runs_wine32; then
    echo "32-bit programs run natively" >&2
    return 0
  fi
  i386_mounted=0
  if [ ! -e "$i386_binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$i386_binfmt" || {
      i386_problem="binfmt_misc could not be mounted at $i386_binfmt"
      return 1
    }
    i386_mounted=1
  fi
  trap i386_disable EXIT
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  [ ! -e "$i386_binfmt/$i386_entry" ] || echo -1 >"$i386_binfmt/$i386_entry"
  echo ":$i386_entry:M::$magic:$mask:/usr/bin/qemu-i386-static:F" >"$i386_binfmt/register"
  if ! i386_runs_wine32; then
    i386_problem="Wine's 32-bit loader does not run through qemu-i386-static either"
    return 1
  fi
  echo "32-bit programs run through $(qemu-i386-static --version | head -n 1), until the end of the run" >&2
}

i386_disable() {
  [ ! -e "$i386_binfmt/$i386_entry" ] || echo -1 >"$i386_binfmt/$i386_entry"
  if [ "${i386_mounted:-0}" = 1 ]; then umount "$i386_binfmt"; fi
}
