#!/bin/bash
# usage: deb_install_test.sh BUILD_DIR DEB_ARCH [RUNTIME_DEBS_DIR]
# Packs the build tree, installs the package into a fresh Debian root with
# dpkg --root, checks what landed and what the program needs, and removes it.
# The root's dpkg database is seeded with the real control data of the
# packages tovk depends on: the build machine's own for its architecture,
# the .debs of RUNTIME_DEBS_DIR for a foreign one.
set -uo pipefail
build=$1
arch=$2
runtime_debs=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/tovk_*_"$arch".deb 2>/dev/null) || fail "no tovk package for $arch"
echo "package: $(basename "$deb")"
dpkg-deb -f "$deb" Package Version Architecture Depends
echo "contents:"
dpkg-deb -c "$deb" | awk '{ print "  " $1, $3, $6 }'

# The deb's Depends, as bare package names.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (:].*//' | sort -u)

control_of() {
  local name=$1
  if [ -z "$runtime_debs" ]; then
    dpkg-query -s "$name:$arch" 2>/dev/null || dpkg-query -s "$name"
    return
  fi
  local file
  file=$(ls "$runtime_debs/${name}"_*_"$arch".deb 2>/dev/null | head -1)
  [ -n "$file" ] || return 1
  dpkg-deb -f "$file"
  echo "Status: install ok installed"
}

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: >"$root/var/lib/dpkg/status"
for name in $depends; do
  { control_of "$name" || fail "no $arch package $name to satisfy Depends"; echo; } >>"$root/var/lib/dpkg/status"
  : >"$root/var/lib/dpkg/info/$name.list"
  : >"$root/var/lib/dpkg/info/$name:$arch.list"
done
dpkg --root="$root" --add-architecture "$arch" 2>/dev/null || true

dpkg_root() { dpkg --root="$root" --force-not-root --log=/dev/null "$@"; }
echo "install:"
dpkg_root -i "$deb" 2>&1 | sed 's/^/  /'
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "dpkg -i"
dpkg-query --admindir="$root/var/lib/dpkg" -W -f='  ${Package} ${Version} ${Architecture} ${Status}\n' tovk
[ "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' tovk)" = "install ok installed" ] || fail "not installed"

for file in usr/sbin/tovk usr/share/man/man8/tovk.8.gz usr/share/doc/tovk/copyright usr/share/doc/tovk/changelog.gz \
            usr/share/doc/tovk/examples/inetd.conf usr/share/doc/tovk/examples/inetd-tcpd.conf \
            usr/share/doc/tovk/examples/hosts.allow usr/share/doc/tovk/examples/hosts.deny \
            usr/share/doc/tovk/examples/tovk.service usr/share/doc/tovk/examples/tovk.init; do
  [ -f "$root/$file" ] || fail "/$file did not land"
done
[ -x "$root/usr/sbin/tovk" ] || fail "/usr/sbin/tovk is not executable"
[ -x "$root/usr/share/doc/tovk/examples/tovk.init" ] || fail "the init script is not executable"
grep -Eq '^4001[[:space:]]+stream[[:space:]]+tcp[[:space:]]+nowait[[:space:]]+root[[:space:]]+/usr/sbin/tovk[[:space:]]+tovk n$' \
  "$root/usr/share/doc/tovk/examples/inetd.conf" || fail "inetd line"

program=$root/usr/sbin/tovk
case "$arch" in
  armel) machine=ARM ;;
  amd64) machine=X86-64 ;;
  *) machine=. ;;
esac
readelf -h "$program" | grep -q "Machine:.*$machine" || fail "/usr/sbin/tovk is not an $arch program"
readelf -S "$program" | grep -q '\.symtab' && fail "/usr/sbin/tovk is not stripped"
readelf -d "$program" | grep -E 'RPATH|RUNPATH' && fail "/usr/sbin/tovk keeps a library path of the build machine"
echo "stripped size: $(stat -c %s "$program") bytes"

# Every library the program needs comes from a package it depends on.
package_shipping() {
  local library=$1
  if [ -z "$runtime_debs" ]; then
    dpkg-query -S "*/$library" 2>/dev/null | awk -v arch=":$arch:" -v tail="/$library" \
      'index($1, arch) && substr($2, length($2) - length(tail) + 1) == tail { sub(/:.*/, "", $1); print $1; exit }'
    return
  fi
  local file
  for file in "$runtime_debs"/*_"$arch".deb; do
    # The whole listing is read: an early exit would break dpkg-deb's pipe.
    dpkg-deb -c "$file" | awk '{ print $6 }' | grep "/$library\$" >/dev/null && { dpkg-deb -f "$file" Package; return; }
  done
}
needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "needs:" $needed
for library in $needed; do
  package=$(package_shipping "$library")
  [ -n "$package" ] || fail "no $arch package ships $library"
  grep -qx "$package" <<<"$depends" || fail "$library comes from $package, which Depends lacks"
done

zcat "$root/usr/share/man/man8/tovk.8.gz" | groff -ww -man -Tutf8 -z 2>"$work/groff.log"
[ -s "$work/groff.log" ] && { cat "$work/groff.log"; fail "the installed page makes groff warn"; }

echo "remove:"
dpkg_root --purge tovk 2>&1 | sed 's/^/  /'
leftovers=$(find "$root/usr" -type f 2>/dev/null)
[ -z "$leftovers" ] || fail "left behind: $leftovers"
echo "installed, checked and removed cleanly"
