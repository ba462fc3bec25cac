#!/usr/bin/env bash
# Makes the three npm packages in OUT_DIR with `npm pack`: orvel (the launcher) and one package
# per platform, @orvel/linux-x64 and @orvel/linux-arm64, whose binary is copied unchanged out of
# the release archive of its architecture in DIST_DIR. The version is CMakeLists.txt's.
#   build.sh DIST_DIR OUT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dist=$(cd "$1" && pwd)
out=$2
version=$("$root/packaging/version.sh")
"$root/packaging/ensure_packages.sh" node=nodejs npm=npm

rm -rf "$out"
mkdir -p "$out/stage"
out=$(cd "$out" && pwd)
stage=$out/stage
trap 'rm -rf "$stage"' EXIT

# package.json and README.md come from templates that name the version and the cpu.
fill() { sed -e "s/@VERSION@/$version/g" -e "s/@CPU@/$2/g" "$1"; }

# npm's cpu names against the release archives' architecture names.
for pair in x64:x86_64 arm64:aarch64; do
  cpu=${pair%%:*} arch=${pair#*:}
  archive=$dist/orvel-$version-linux-$arch.tar.gz
  [ -f "$archive" ] || { echo "npm/build.sh: no $archive (make dist makes it)" >&2; exit 1; }
  pkg=$stage/linux-$cpu
  mkdir -p "$pkg/bin"
  tar -xzf "$archive" -O "orvel-$version-linux-$arch/orvel" > "$pkg/bin/orvel"
  chmod 0755 "$pkg/bin/orvel"
  fill "$here/platform/package.json.in" "$cpu" > "$pkg/package.json"
  fill "$here/platform/README.md.in" "$cpu" > "$pkg/README.md"
  cp "$root/LICENSE" "$pkg/"
done

main=$stage/orvel
mkdir -p "$main/bin"
install -m 0755 "$here/orvel/bin/orvel" "$main/bin/orvel"
fill "$here/orvel/package.json.in" "" > "$main/package.json"
cp "$root/README.md" "$root/LICENSE" "$main/"

cd "$out"
for pkg in linux-x64 linux-arm64 orvel; do
  npm pack --loglevel=warn "$stage/$pkg"
done
