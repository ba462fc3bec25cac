#!/usr/bin/env bash
# Records in the Action the SHA-256 of this version's release archives, from `make dist`:
#   checksums.sh DIST_DIR [CHECKSUMS_FILE]
# DIST_DIR holds the archives and their SHA256SUMS; the sums are checked against the archives
# first. CHECKSUMS_FILE (default packaging/action/checksums.txt) keeps its comments and other
# versions' lines; this version's lines are replaced.
set -euo pipefail

fail() { printf 'checksums.sh: %s\n' "$*" >&2; exit 1; }
if [ $# -lt 1 ] || [ $# -gt 2 ]; then fail "usage: checksums.sh DIST_DIR [CHECKSUMS_FILE]"; fi
here=$(cd "$(dirname "$0")" && pwd)
version=$("$here/../version.sh")
dist=$1
out=${2:-$here/checksums.txt}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for arch in x86_64 aarch64; do
  archive=orvel-$version-linux-$arch.tar.gz
  grep -E "^[0-9a-f]{64}  ${archive//./\\.}\$" "$dist/SHA256SUMS" >> "$scratch/new" ||
    fail "$dist/SHA256SUMS has no line for $archive"
done
(cd "$dist" && sha256sum --check --quiet --strict) < "$scratch/new" ||
  fail "the archives in $dist do not match their SHA256SUMS"

touch "$out"
grep -v -E "  orvel-${version//./\\.}-linux-[^ ]+\.tar\.gz\$" "$out" > "$scratch/kept" || true
cat "$scratch/kept" "$scratch/new" > "$out"
echo "checksums.sh: $out now holds, for $version:"
sed 's/^/  /' "$scratch/new"
