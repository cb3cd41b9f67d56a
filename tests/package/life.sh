#!/usr/bin/env bash
# The Debian package's life on this machine, as root: installed, set up for a
# board (the hardware device, the board's block, the group granted), then
# reinstalled and upgraded to a rebuild of a higher version, after each of
# which the setup must stand; revoked; purged, after which nothing may be
# left. It prints the session as typed at a root prompt, with what each
# command printed. What it installed and the users and group it made go,
# also when it fails; it refuses to run where it could destroy a setup.
#   life.sh CPACK CPACK_CONFIG
set -euo pipefail
cpack=$1 config=$2
program=/usr/bin/bcdmon
devices=/usr/lib/bcdmon
member=bcdmon-member outsider=bcdmon-outsider
# No terminal here for debconf, which dpkg-reconfigure starts.
export DEBIAN_FRONTEND=noninteractive

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

installed() {
  local status
  status=$(dpkg-query -W -f='${db:Status-Status}' bcdmon 2>/dev/null) && [ "$status" != not-installed ]
}

[ "$(id -u)" -eq 0 ] || fail "it installs a package: run it as root"
if installed || dpkg-statoverride --list $program >/dev/null; then
  fail "bcdmon is installed here, or a grant of $program stands: purging it would destroy a setup"
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/bcdmon-life-XXXXXX")
chmod 0755 "$scratch" # apt's own user reads the packages
made_users=()
had_group=$(getent group bcdmon || true)
clean_up() {
  set +e
  if installed; then apt-get purge -y -q bcdmon >/dev/null; fi
  for user in "${made_users[@]}"; do userdel "$user"; done
  [ -n "$had_group" ] || groupdel bcdmon 2>/dev/null
  rm -rf "$scratch"
}
trap clean_up EXIT
# Another apt may be at work here: waited for, rather than failed.
echo 'DPkg::Lock::Timeout "600";' >"$scratch/apt.conf"
export APT_CONFIG=$scratch/apt.conf

# Shows a command as typed, runs it, and shows what it printed, kept in $out;
# its status must be the one given (0 by default).
step() {
  printf '$ %s\n' "$1"
  local status=0
  out=$(eval "$1" 2>&1) || status=$?
  [ -z "$out" ] || printf '%s\n' "$out"
  [ "$status" = "${2:-0}" ] || fail "status $status, not ${2:-0}"
}

# The output must match the pattern given.
# shellcheck disable=SC2053
expect() { [[ $out == $1 ]] || fail "not what was expected: $1"; }

# Runs the program as the user given, from a shell of the user's, as a user
# starts it (on some sandboxed kernels, this machine's among them, the exec
# right after setpriv's change of ids is checked as root's).
as_user() {
  step "setpriv --reuid=$1 --regid=$1 --init-groups sh -c '${3:-}$program </dev/null'" "${2:-0}"
}

# The member reaches the hardware driver through the loader of a capable
# program, which the kernel then refuses port I/O; where the kernel has port
# I/O, the run would touch the board's ports for real, and is left out. The
# driver names the edited file's ports though told another file: a capable
# run never reads the environment for it.
member_reaches_the_driver() {
  if perl -e 'syscall(173, 0xd010, 4, 0) == -1 && $!{ENOSYS} or exit 1'; then
    as_user $member 0 "BCDMON_BOARD_CONF=$scratch/none "
    expect "*Opening Port...Failed*"
    expect "*I/O ports 0xd010 to 0xd013: Function not implemented*"
  else
    echo "(not run: this kernel has port I/O, and $program would use the ports at 0xd010)"
  fi
}

setup_stands() {
  step "update-alternatives --query bcdmon-device | grep -E '^(Status|Value):'"
  expect $'Status: manual\nValue: '"$devices/hardware/libzepdriver.so"
  step "tail -n 1 /etc/bcdmon/board.conf; ls /etc/bcdmon"
  expect $'base = 0xd010\nboard.conf'
  step "dpkg-statoverride --list $program; getcap $program; stat -c '%A %U:%G' $program"
  expect "root bcdmon 750 $program"$'\n'"$program cap_sys_rawio=ep"$'\n-rwxr-x--- root:bcdmon'
  member_reaches_the_driver
}

cd "$scratch"
"$cpack" --config "$config" -B built >cpack.log 2>&1 || fail "cpack: $(cat cpack.log)"
mv built/*.deb .
deb=$(echo bcdmon_*.deb)
version=$(dpkg-deb -f "$deb" Version)
# The rebuild of a higher version, as Debian numbers one.
next=$version+b1
dpkg-deb -R "$deb" rebuilt
sed -i "s/^Version: .*/Version: $next/" rebuilt/DEBIAN/control
dpkg-deb --root-owner-group -b rebuilt "${deb/"$version"/"$next"}" >/dev/null

step "apt-get install -y ./$deb"
step "update-alternatives --query bcdmon-device"
expect $'*\nStatus: auto\n*\nValue: '"$devices"$'/simulated/libzepdriver.so\n*'
step "getcap $program; stat -c '%A %U:%G' $program"
expect "-rwxr-xr-x root:root"
step "update-alternatives --set bcdmon-device $devices/hardware/libzepdriver.so"
step "echo 'base = 0xd010' >>/etc/bcdmon/board.conf"
step "dpkg-statoverride --update --add root bcdmon 0750 $program && dpkg-reconfigure bcdmon"
for user in $member $outsider; do
  step "useradd --system --user-group --no-create-home --shell /usr/sbin/nologin $user"
  made_users+=("$user")
done
step "adduser $member bcdmon"
setup_stands
step "apt-get install -y --reinstall ./$deb"
setup_stands
step "apt-get install -y ./${deb/"$version"/"$next"}"
setup_stands
as_user $outsider 126
expect "*Permission denied*"

step "dpkg-statoverride --remove $program && dpkg-reconfigure bcdmon"
step "getcap $program; stat -c '%A %U:%G' $program"
expect "-rwxr-xr-x root:root"
# Granted again, for purge to forget.
step "dpkg-statoverride --update --add root bcdmon 0750 $program && dpkg-reconfigure bcdmon"
step "apt-get purge -y bcdmon"
step "ls -d /etc/alternatives/bcdmon-device /var/lib/dpkg/alternatives/bcdmon-device /etc/bcdmon $devices $program" 2
expect "$(printf "ls: cannot access '%s': No such file or directory\n" /etc/alternatives/bcdmon-device \
  /var/lib/dpkg/alternatives/bcdmon-device /etc/bcdmon $devices $program)"
step "dpkg-statoverride --list $program" 1
echo "The package's life: passed"
