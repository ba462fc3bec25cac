#!/usr/bin/env bash
# Builds OUT_DIR/orvel_VERSION_ARCH.deb from a CMake build of orvel with dpkg-deb, from a staged
# tree whose every byte, mode, owner and time stamp is fixed, so that two builds of one commit
# give the same .deb wherever they run:
#   build.sh OUT_DIR DEB_ARCH BUILD_DIR        (DEB_ARCH: amd64, arm64)
# The program is stripped with the build's own strip (a cross one for arm64). The package holds
# /usr/bin/orvel, its manual page, copyright, changelog and the lintian override, and depends on
# nothing: the program is static.
set -euo pipefail
[ "$#" -eq 3 ] || { echo "usage: build.sh OUT_DIR DEB_ARCH BUILD_DIR" >&2; exit 2; }
out=$1 arch=$2 build=$3
here=$(cd "$(dirname "$0")" && pwd)
version=$("$here/../version.sh")
stamp=$("$here/../source_date_epoch.sh")
# shellcheck source=packaging/strip.sh
. "$here/../strip.sh"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
umask 022
root="$stage/orvel"
mkdir -p "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" "$root/usr/share/doc/orvel" \
  "$root/usr/share/lintian/overrides"
strip_program "$build" "$root/usr/bin/orvel"
cp "$build/orvel.1.gz" "$root/usr/share/man/man1/"
cp "$here/../copyright" "$build/changelog.gz" "$root/usr/share/doc/orvel/"
cp "$here/lintian-overrides" "$root/usr/share/lintian/overrides/orvel"
find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f -exec chmod 0644 {} +
chmod 0755 "$root/usr/bin/orvel"

# Installed-Size in KiB as dpkg-gencontrol counts it: each file rounded up, one per directory,
# from the sizes alone (du would count the build machine's file system blocks).
size=$(cd "$root" && find usr \( -type d -printf '1024\n' \) -o \( -type f -printf '%s\n' \) |
  awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" "$here/control.in" \
  > "$root/DEBIAN/control"
(cd "$root" && find usr -type f | LC_ALL=C sort | xargs md5sum) > "$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -exec touch -h -d "@$stamp" {} +

# One compressor thread: multi-threaded xz lays out its blocks differently from single-threaded
# xz, so the bytes would depend on the machine's number of cores.
mkdir -p "$out"
deb="$out/orvel_${version}_${arch}.deb"
SOURCE_DATE_EPOCH=$stamp dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$root" "$deb" >/dev/null
echo "deb: $deb"
