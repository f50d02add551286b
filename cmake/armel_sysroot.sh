#!/usr/bin/env bash
# Makes the sysroot of the armel preset in .sysroot/armel from Debian armel
# packages, unless the one there was made from the same packages and versions.
#   cmake/armel_sysroot.sh [--remake]
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

# Target runtime and libraries of the ARM build.
armel_packages=(
  libc6 libgcc-s1 gcc-12-base libstdc++6
  zlib1g zlib1g-dev
  libasound2 libasound2-dev
  libfuse3-3 libfuse3-dev
)
sysroot=.sysroot/armel

ensure_armel_arch() {
  dpkg --print-foreign-architectures | grep -qx armel && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "armel_sysroot: the armel sysroot needs the armel architecture: dpkg --add-architecture armel && apt-get update (as root)" >&2
    exit 1
  fi
  dpkg --add-architecture armel
  apt-get update -qq
}

# A stamp names the packages and versions the sysroot was made from, so a
# changed list or a Debian update remakes it.
wanted_packages() {
  local package
  for package in "${armel_packages[@]}"; do
    echo "$package $(apt-cache policy "$package:armel" | awk '/Candidate:/ { print $2 }')"
  done
}

# apt cannot install the armel -dev packages beside the host's, so their
# contents are unpacked instead; absolute links are made to point inside.
make_sysroot() {
  echo "armel_sysroot: making the armel sysroot in $sysroot"
  rm -rf "$sysroot" "$sysroot.debs"
  mkdir -p "$sysroot" "$sysroot.debs"
  local package
  (cd "$sysroot.debs" && for package in "${armel_packages[@]}"; do apt-get download -qq "$package:armel" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true; done)
  local deb
  for deb in "$sysroot.debs"/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
  local link target
  while IFS= read -r link; do
    target="$(readlink "$link")"
    case "$target" in
      /*) ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot$target")" "$link" ;;
    esac
  done < <(find "$sysroot" -type l)
  [ "$(ls "$sysroot.debs"/*.deb | wc -l)" -eq "${#armel_packages[@]}" ] || { echo "armel_sysroot: armel download incomplete" >&2; exit 1; }
}

[ "${1:-}" = --remake ] && rm -f "$sysroot.stamp"
ensure_armel_arch
wanted="$(wanted_packages)"
if [ -f "$sysroot.stamp" ] && [ "$(cat "$sysroot.stamp")" = "$wanted" ] && [ -e "$sysroot/lib/ld-linux.so.3" ]; then
  exit 0
fi
make_sysroot
echo "$wanted" >"$sysroot.stamp"
