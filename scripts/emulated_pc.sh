# Sourced by the test script (after packages.sh) and by the emulated-PC suite:
# what the suite needs, qemu and the guest's tools, and the kernel it boots,
# Debian's own.
#
#   emulated_pc_prepare       installs what is missing (as root) and fetches the
#                             kernel; false, with emulated_pc_problem and
#                             emulated_pc_remedy set, when it cannot
#   emulated_pc_kernel        sets emulated_pc_vmlinuz to the kernel and
#                             emulated_pc_modules to the folder of its comedi
#                             modules, fetched into the cache on first use;
#                             false, with the problem set, when they cannot be

emulated_pc_cache=${XDG_CACHE_HOME:-${HOME:-/var/tmp}/.cache}/bcdmon/kernel
emulated_pc_problem=""
emulated_pc_remedy=""
emulated_pc_vmlinuz=""
emulated_pc_modules=""

emulated_pc_prepare() {
  if [ "$(id -u)" -eq 0 ]; then
    require_packages "${emulated_pc_packages[@]}"
  else
    local missing
    missing=$(missing_packages "${emulated_pc_packages[@]}")
    if [ -n "$missing" ]; then
      missing=${missing% }
      emulated_pc_problem="not installed: $missing"
      emulated_pc_remedy="sudo apt-get install -y --no-install-recommends $missing"
      return 1
    fi
  fi
  emulated_pc_kernel || return 1
  echo "The emulated PC boots $emulated_pc_vmlinuz" >&2
}

# The image package that linux-image-amd64 depends on (linux-image-6.1.0-NN-
# amd64), downloaded and unpacked here rather than installed: installing runs
# its initramfs trigger for nearly a minute and changes /boot. Only the
# vmlinuz and the comedi modules the guest loads are kept, named after the
# package, so a new kernel is fetched once; a cache that has one of them
# fetches the package once more for the other.
emulated_pc_kernel() {
  local package
  package=$(emulated_pc_kernel_package)
  if [ -z "$package" ] && [ "$(id -u)" -eq 0 ]; then
    apt-get update -q >&2 && package=$(emulated_pc_kernel_package)
  fi
  if [ -z "$package" ]; then
    emulated_pc_problem="apt knows no linux-image-amd64 to take the kernel from"
    emulated_pc_remedy="sudo apt-get update, then run it again"
    return 1
  fi
  local kernel=$emulated_pc_cache/$package.vmlinuz modules=$emulated_pc_cache/$package.comedi
  local module missing=""
  for module in "${emulated_pc_comedi_modules[@]}"; do
    [ -s "$modules/$module.ko" ] || missing=yes
  done
  if [ -n "$missing" ]; then rm -rf "$modules"; fi
  if [ ! -s "$kernel" ] || [ ! -d "$modules" ]; then
    emulated_pc_fetch "$package" "$kernel" "$modules" || return 1
  fi
  emulated_pc_vmlinuz=$kernel
  emulated_pc_modules=$modules
}

# The comedi core, the 8255 board's two modules, comedi_parport for the
# printer port, and comedi_test, a board with no digital input that attaches
# without hardware. Debian's 6.1 kernels ship them uncompressed (.ko), as
# the guest loads them. A cache that lacks one of them is fetched again.
emulated_pc_comedi_modules=(comedi comedi_8255 8255 comedi_parport comedi_test)

emulated_pc_fetch() {
  local package=$1 kernel=$2 modules=$3 scratch error status=0 module
  mkdir -p "$emulated_pc_cache"
  scratch=$(mktemp -d "$emulated_pc_cache/fetch-XXXXXX")
  error=$(cd "$scratch" && apt-get download -q "$package" 2>&1 >/dev/null) &&
    dpkg-deb --fsys-tarfile "$scratch"/*.deb |
    tar -xf - -C "$scratch" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/comedi/*' &&
    mkdir "$scratch/comedi" || status=$?
  for module in "${emulated_pc_comedi_modules[@]}"; do
    [ "$status" -eq 0 ] || break
    find "$scratch/lib" -name "$module.ko" -exec mv -t "$scratch/comedi" {} +
    [ -s "$scratch/comedi/$module.ko" ] || { error="it holds no $module.ko" && status=1; }
  done
  if [ "$status" -eq 0 ]; then
    { [ -s "$kernel" ] || mv "$scratch"/boot/vmlinuz-* "$kernel"; } &&
      { [ -d "$modules" ] || mv "$scratch/comedi" "$modules"; } || status=$?
  fi
  rm -rf "$scratch"
  if [ "$status" -ne 0 ]; then
    emulated_pc_problem="Debian's kernel could not be fetched (apt-get download $package"
    emulated_pc_problem+="${error:+: $(printf '%s' "$error" | grep -v '^W: ' | head -n 1)})"
    emulated_pc_remedy="sudo apt-get update, then run it again"
    return 1
  fi
}

emulated_pc_kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}
