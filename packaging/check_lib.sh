# shellcheck shell=bash
# Sourced by the registry checks (npm/check.sh, pypi/check.sh) once they have their version,
# their scratch folder and fail MESSAGE. Every orvel a package manager installs is compared
# with the bare release binary, each on its own fresh copy of the same sample files, and every
# package is built a second time to show that its bytes depend on the commit alone.
: "${version:?}" "${scratch:?}"

# The command run as the packaged orvel, and the folder its runs are kept in; each scenario of a
# check sets them. npx finds the project's orvel from its working directory, so with npx the
# runs must be inside the project.
packaged=()
project=$scratch/runs

# release_binaries DIST_DIR: takes the x86_64 and aarch64 binaries out of the release archives
# (bare and bare_arm64) and writes the sample files into $samples.
release_binaries() {
  local arch
  for arch in x86_64 aarch64; do
    tar -xzf "$1/orvel-$version-linux-$arch.tar.gz" -C "$scratch" "orvel-$version-linux-$arch/orvel"
  done
  bare=$scratch/orvel-$version-linux-x86_64/orvel
  # shellcheck disable=SC2034 # for the checks that source this file
  bare_arm64=$scratch/orvel-$version-linux-aarch64/orvel
  bare_cmd=("$bare")
  samples=$scratch/samples
  "$(dirname "${BASH_SOURCE[0]}")/samples.sh" "$samples"
}

# same_again AGAIN_DIR FILE...: each FILE must be byte for byte the file of its name in
# AGAIN_DIR, where a second build put its packages.
same_again() {
  local again=$1 file
  shift
  for file in "$@"; do
    cmp "$file" "$again/$(basename "$file")" || fail "a second build of $(basename "$file") differs"
  done
  echo "ok: a second build gives the same $(basename "$again") packages, byte for byte"
}

# run DIR MODE CMD...: runs CMD in DIR/files, a fresh copy of the samples, with standard output
# going to a file (MODE file) or through a pipe (MODE pipe) into DIR/out, standard error into
# DIR/err and the status into DIR/status.
run() {
  local dir=$1 mode=$2 status=0
  shift 2
  rm -rf "$dir"
  mkdir -p "$dir"
  cp -R "$samples" "$dir/files"
  if [ "$mode" = file ]; then
    (cd "$dir/files" && "$@" > "$dir/out" 2> "$dir/err") || status=$?
  else
    (set -o pipefail && cd "$dir/files" && "$@" 2> "$dir/err" | cat > "$dir/out") || status=$?
  fi
  echo "$status" > "$dir/status"
}

# expect LABEL MODE STATUS ARGS...: the packaged orvel (run in $project/LABEL) and the bare
# binary (the command in bare_cmd), each on its own copy of the samples, must end with STATUS
# and leave the same files, standard output and standard error.
expect() {
  local label=$1 mode=$2 want=$3
  shift 3
  run "$scratch/bare/$label" "$mode" "${bare_cmd[@]}" "$@"
  run "$project/$label" "$mode" "${packaged[@]}" "$@"
  local f got
  for f in status out err; do
    cmp "$scratch/bare/$label/$f" "$project/$label/$f" || fail "$label: $f differs from the bare binary's"
  done
  diff -r "$scratch/bare/$label/files" "$project/$label/files" > /dev/null ||
    fail "$label: the files differ from the bare binary's"
  read -r got < "$project/$label/status"
  [ "$got" = "$want" ] || fail "$label: status $got, not $want"
  echo "ok: $label: status $want, same files, output and error as the bare binary ($mode)"
}
