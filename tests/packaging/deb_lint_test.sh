#!/bin/bash
# usage: deb_lint_test.sh BUILD_DIR DEB_ARCH
# Packs the build tree and holds the package to Debian's policy checker: any
# error or warning fails. Without the checker the test is skipped (77),
# except on CI, where ./dev has installed it.
set -uo pipefail
build=$1
arch=$2
if ! command -v lintian >/dev/null; then
  [ -n "${CI:-}" ] && { echo "FAIL: lintian is not installed" >&2; exit 1; }
  echo "lintian is not installed: skipped (./dev test installs it)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; echo "FAIL: cpack" >&2; exit 1; }
deb=$(ls "$work"/out/tovk_*_"$arch".deb 2>/dev/null) || { echo "FAIL: no tovk package for $arch" >&2; exit 1; }
echo "lintian $(basename "$deb"):"
lintian --fail-on error,warning --display-info --show-overrides "$deb" 2>&1 | grep -v 'running with root privileges' | sed 's/^/  /'
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || { echo "FAIL: lintian reports errors or warnings (status $status)" >&2; exit 1; }
echo "no error and no warning"
