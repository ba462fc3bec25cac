#!/usr/bin/env bash
# Proves a release: `make dist` writes exactly the two archives, the two .debs and SHA256SUMS;
# each archive holds the stripped static program and its documents with fixed owners and modes;
# both .debs pass lintian with no error or warning; each program runs in an empty chroot (no C
# library, no /etc, nothing but itself; the arm64 one under the static qemu-user beside it) and
# rewrites and reports byte for byte as expected; a clean clone of the commit in another folder,
# built under another umask, gives the same bytes; and `make install` installs the stripped
# program that `make uninstall` removes again, file for file.
# Installs lintian, qemu-user-static and the cross compiler with apt-get when missing and root.
#   release_check.sh            (DIST_DIR, BUILD_DIR and ARM64_DIR as in the Makefile)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
dist_dir=${DIST_DIR:-build/dist}
build_dir=${BUILD_DIR:-build/release}

say() { printf 'release: %s\n' "$*"; }
fail() { printf 'release: FAILED: %s\n' "$*" >&2; exit 1; }

packaging/ensure_packages.sh lintian=lintian qemu-aarch64-static=qemu-user-static \
  aarch64-linux-gnu-g++=g++-aarch64-linux-gnu
version=$(packaging/version.sh)
qemu=$(command -v qemu-aarch64-static)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/release-check.XXXXXX")
manifest="$build_dir/install_manifest.txt"
restore_manifest() {
  if [ -f "$scratch/manifest.saved" ]; then mv "$scratch/manifest.saved" "$manifest"; fi
  rm -rf "$scratch"
}
trap restore_manifest EXIT

# The release ------------------------------------------------------------------------------------
make --no-print-directory dist DIST_DIR="$dist_dir" BUILD_DIR="$build_dir" >/dev/null
archives=("orvel-$version-linux-x86_64.tar.gz" "orvel-$version-linux-aarch64.tar.gz")
debs=("orvel_${version}_amd64.deb" "orvel_${version}_arm64.deb")
expected=$(printf '%s\n' "${archives[@]}" "${debs[@]}" SHA256SUMS | LC_ALL=C sort)
[ "$(cd "$dist_dir" && find . -mindepth 1 -printf '%f\n' | LC_ALL=C sort)" = "$expected" ] ||
  fail "$dist_dir does not hold exactly: $(echo "$expected" | tr '\n' ' ')"
[ "$(cut -d' ' -f3 "$dist_dir/SHA256SUMS" | LC_ALL=C sort)" = "$(echo "$expected" | grep -v SHA256SUMS)" ] ||
  fail "SHA256SUMS does not cover exactly the archives and packages"
(cd "$dist_dir" && sha256sum --check --quiet SHA256SUMS) || fail "a checksum does not match"
say "$dist_dir:"
find "$dist_dir" -mindepth 1 -printf '    %M %10s %f\n' | LC_ALL=C sort -k3
sed 's/^/    /' "$dist_dir/SHA256SUMS"

# Checks one unpacked program: static (no interpreter, no dynamic section), for `machine`.
check_static() {
  local program=$1 machine=$2
  readelf -h "$program" | grep -q "Machine: *$machine" || fail "$program is not for $machine"
  if readelf -lW "$program" | grep -qE 'INTERP|DYNAMIC'; then fail "$program is linked dynamically"; fi
  if readelf -SW "$program" | grep -qE '\.symtab|\.debug'; then fail "$program is not stripped"; fi
}

# The archives ---------------------------------------------------------------------------------
for archive in "${archives[@]}"; do
  name=${archive%.tar.gz}
  listing=$(tar -tvzf "$dist_dir/$archive" | awk '{ print $1, $2, $6 }')
  want=$(printf '%s\n' "drwxr-xr-x 0/0 $name/" "-rw-r--r-- 0/0 $name/LICENSE" \
    "-rw-r--r-- 0/0 $name/README.md" "-rwxr-xr-x 0/0 $name/orvel" "-rw-r--r-- 0/0 $name/orvel.1")
  [ "$listing" = "$want" ] || fail "$archive holds:"$'\n'"$listing"$'\n'"not:"$'\n'"$want"
  mkdir "$scratch/$name"
  tar -xzf "$dist_dir/$archive" -C "$scratch/$name" --strip-components=1
done
x86=$scratch/orvel-$version-linux-x86_64/orvel
arm=$scratch/orvel-$version-linux-aarch64/orvel
check_static "$x86" "Advanced Micro Devices X86-64"
check_static "$arm" "AArch64"
say "archives: one folder each, owner 0, modes 755/644; the programs are static and stripped"

# The packages ---------------------------------------------------------------------------------
for deb in "${debs[@]}"; do
  arch=${deb##*_}
  arch=${arch%.deb}
  say "lintian --display-info $deb"
  lintian --display-info --fail-on error,warning "$dist_dir/$deb" 2>&1 | sed 's/^/    /' ||
    fail "lintian finds fault with $deb"
  dpkg-deb --contents "$dist_dir/$deb" | awk '{ print "    " $1, $2, $6 }'
  [ "$(dpkg-deb --field "$dist_dir/$deb" Architecture Version | tr '\n' ' ')" = \
    "Architecture: $arch Version: $version " ] || fail "$deb has the wrong architecture or version"
  if dpkg-deb --contents "$dist_dir/$deb" | awk '{ print $2 }' | grep -qv '^root/root$'; then
    fail "$deb holds files not owned by root"
  fi
  mkdir "$scratch/deb-$arch"
  dpkg-deb --extract "$dist_dir/$deb" "$scratch/deb-$arch"
done
cmp "$scratch/deb-amd64/usr/bin/orvel" "$x86" || fail "the amd64 .deb and the archive differ"
cmp "$scratch/deb-arm64/usr/bin/orvel" "$arm" || fail "the arm64 .deb and the archive differ"
say "packages: lintian is content; their programs are the archives' programs"

# Empty chroots --------------------------------------------------------------------------------
# Root may chroot; anyone else tries in a user namespace of their own.
chroot_cmd=(chroot)
[ "$(id -u)" -eq 0 ] || chroot_cmd=(unshare --map-root-user chroot)

# A file out of order and one that does not decode; what the program must make of them.
input_ok='{"b": 1, "a": [1E5, -0, "\u00e9"]}'
output_ok=$'{\n  "a": [\n    1e+5,\n    0,\n    "\xc3\xa9"\n  ],\n  "b": 1\n}\n'
input_bad='{"a": 1,}'
bar=$(printf '=%.0s' $(seq 80))
report="$bar orveller $bar"$'\n'"data/a.json "$'\e[92m.\e[00m\e[92m.\e[00m\n'
report+="data/b.json "$'\e[91mF\e[00m\n\t\e[91m'"lint_file: JSONDecodeError: trailing comma at line 1 column 9"$'\e[00m\n'
report+=$'\e[92m'"$bar 2 / 3 passed $bar"$'\e[00m\n'

# Runs `program` in a chroot holding nothing else (and `emulator`, when given), on data/ and on
# a copy of examples/, and keeps what it wrote in $scratch/ran-LABEL.
run_in_empty_root() {
  local label=$1 program=$2 emulator=${3:-}
  local jail="$scratch/jail-$label"
  mkdir -p "$jail/data" "$jail/examples"
  cp "$program" "$jail/orvel"
  local command=(/orvel)
  if [ -n "$emulator" ]; then
    cp "$emulator" "$jail/qemu"
    command=(/qemu /orvel)
  fi
  printf '%s' "$input_ok" > "$jail/data/a.json"
  printf '%s' "$input_bad" > "$jail/data/b.json"
  cp -R examples/. "$jail/examples/"
  echo "    \$ find $label-root | sort    # before the run"
  (cd "$jail" && find . -path ./examples -prune -o -print | LC_ALL=C sort | sed 's/^/      /')
  local status=0
  (cd "$jail" && "${chroot_cmd[@]}" . "${command[@]}" data > "$scratch/out-$label" 2> "$scratch/err-$label") ||
    status=$?
  echo "    \$ chroot $label-root ${command[*]} data; echo \$?"
  sed 's/^/      /' "$scratch/out-$label" | cat -v
  echo "      $status"
  [ "$status" -eq 1 ] || fail "$label: status $status, not 1"
  [ ! -s "$scratch/err-$label" ] || fail "$label wrote to standard error: $(cat "$scratch/err-$label")"
  [ "$(cat "$scratch/out-$label"; echo .)" = "$report." ] || fail "$label: the report differs"
  [ "$(cat "$jail/data/a.json"; echo .)" = "$output_ok." ] || fail "$label: a.json was not rewritten"
  [ "$(cat "$jail/data/b.json")" = "$input_bad" ] || fail "$label: b.json was changed"
  status=0
  (cd "$jail" && "${chroot_cmd[@]}" . "${command[@]}" examples > "$scratch/examples-$label.out") || status=$?
  echo "$status" >> "$scratch/examples-$label.out"
  cp -R "$jail/examples" "$scratch/examples-$label"
}

say "each program in an empty root of its own"
run_in_empty_root x86_64 "$x86"
run_in_empty_root aarch64 "$arm" "$qemu"
cmp "$scratch/examples-x86_64.out" "$scratch/examples-aarch64.out" ||
  fail "on examples/, the two programs report differently"
diff -r "$scratch/examples-x86_64" "$scratch/examples-aarch64" ||
  fail "on examples/, the two programs rewrite differently"
say "empty roots: both programs run alone and agree byte for byte, on examples/ too"

# Reproducible ---------------------------------------------------------------------------------
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  fail "uncommitted changes: commit them, then check that a clean clone builds the same bytes"
fi
clone="$scratch/elsewhere/a longer path/orvel"
git clone --quiet "$root" "$clone"
# The clone is built as CI builds: with ../shared beside it when there is one here.
if [ -e "$root/../shared" ] && [ ! -e "$clone/../shared" ]; then ln -s "$(cd "$root/../shared" && pwd)" "$clone/../shared"; fi
(cd "$clone" && umask 027 && make --no-print-directory dist JOBS="${JOBS:-$(nproc)}" >/dev/null)
if ! cmp "$dist_dir/SHA256SUMS" "$clone/build/dist/SHA256SUMS"; then
  diff "$dist_dir/SHA256SUMS" "$clone/build/dist/SHA256SUMS" >&2 || true
  fail "a clean clone elsewhere builds other bytes"
fi
say "reproducible: a clean clone in $clone (umask 027) built the same SHA256SUMS"

# make install, make uninstall -----------------------------------------------------------------
prefix="$scratch/prefix"
if [ -f "$manifest" ]; then mv "$manifest" "$scratch/manifest.saved"; fi
make --no-print-directory install PREFIX="$prefix" BUILD_DIR="$build_dir" >/dev/null
installed=$(cd "$prefix" && find . -type f -printf '%m %p\n' | LC_ALL=C sort)
[ "$installed" = $'755 ./bin/orvel\n644 ./share/man/man1/orvel.1.gz' ] ||
  fail "make install installed:"$'\n'"$installed"
cmp "$prefix/bin/orvel" "$x86" || fail "make install did not install the stripped program"
make --no-print-directory uninstall BUILD_DIR="$build_dir" >/dev/null
left=$(cd "$prefix" && find . -type f)
[ -z "$left" ] || fail "make uninstall left: $left"
say "make install: the stripped program ($(stat -c %s "$x86") bytes) and its manual; make uninstall removed both"
say "ok"
