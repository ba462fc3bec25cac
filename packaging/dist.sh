#!/bin/sh
# Makes the release archive: OUT_DIR/NAME.tar.gz holding NAME/ with the stripped program, its
# manual page and the given documents, and OUT_DIR/SHA256SUMS for it.
#   dist.sh OUT_DIR NAME STRIP PROGRAM MANPAGE FILE...
# The archive's bytes depend on its contents alone (sorted names, owner 0, one time stamp, gzip
# without a name or time), so a rebuild of the same commit gives the same checksum.
set -eu
out=$1 name=$2 strip=$3 program=$4 manpage=$5
shift 5

rm -rf "$out"
mkdir -p "$out/$name"
"$strip" -o "$out/$name/orvel" "$program"
cp "$manpage" "$@" "$out/$name/"
chmod 0755 "$out/$name" "$out/$name/orvel"
for f in "$out/$name"/*; do [ "$f" = "$out/$name/orvel" ] || chmod 0644 "$f"; done

# The time stamp of the commit being built, or the build's time outside a git checkout.
stamp=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$0")" log -1 --format=%ct 2>/dev/null || date +%s)}
cd "$out"
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$stamp" -cf - "$name" |
  gzip -9n > "$name.tar.gz"
rm -rf "$name"
sha256sum "$name.tar.gz" > SHA256SUMS
echo "dist: $out/$name.tar.gz"
cat SHA256SUMS
