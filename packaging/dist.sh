#!/usr/bin/env bash
# Makes a release in OUT_DIR from CMake builds of orvel, one per processor:
#   dist.sh OUT_DIR x86_64=build/release aarch64=build/aarch64
# For each: orvel-VERSION-linux-PROCESSOR.tar.gz, holding orvel-VERSION-linux-PROCESSOR/ with
# the stripped program, its manual page, README.md and LICENSE; and orvel_VERSION_DEBARCH.deb
# (deb/build.sh). Then SHA256SUMS for all of them. The bytes depend on the commit alone: sorted
# names, owner 0, every time stamp the commit's (source_date_epoch.sh), gzip without a name or
# time; files of older releases in OUT_DIR are removed, nothing else is.
set -euo pipefail
[ "$#" -ge 2 ] || { echo "usage: dist.sh OUT_DIR PROCESSOR=BUILD_DIR..." >&2; exit 2; }
out=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
version=$("$here/version.sh")
stamp=$("$here/source_date_epoch.sh")
# shellcheck source=packaging/strip.sh
. "$here/strip.sh"

mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/orvel-*-linux-*.tar.gz "$out"/orvel_*_*.deb "$out/SHA256SUMS"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
umask 022

for pair in "$@"; do
  processor=${pair%%=*}
  build=$(cd "${pair#*=}" && pwd)
  case $processor in
    x86_64) deb_arch=amd64 ;;
    aarch64) deb_arch=arm64 ;;
    *) echo "dist.sh: no Debian architecture for $processor" >&2; exit 2 ;;
  esac

  name=orvel-$version-linux-$processor
  mkdir "$stage/$name"
  strip_program "$build" "$stage/$name/orvel"
  cp "$build/orvel.1" "$root/README.md" "$root/LICENSE" "$stage/$name/"
  chmod 0755 "$stage/$name" "$stage/$name/orvel"
  chmod 0644 "$stage/$name/orvel.1" "$stage/$name/README.md" "$stage/$name/LICENSE"
  tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$stamp" -cf - "$name" |
    gzip -9n > "$out/$name.tar.gz"
  echo "dist: $out/$name.tar.gz"

  "$here/deb/build.sh" "$out" "$deb_arch" "$build"
done

(cd "$out" && find . -maxdepth 1 -type f \( -name '*.tar.gz' -o -name '*.deb' \) -printf '%f\n' |
  LC_ALL=C sort | xargs sha256sum > SHA256SUMS)
echo "dist: $out/SHA256SUMS"
cat "$out/SHA256SUMS"
