#!/usr/bin/env bash
# The GitHub Action's one step (action.yml): fetch orvel's release archive for the runner's
# architecture, check it against the SHA-256 written in this action before anything in it runs,
# run orvel on the tracked JSON files outside the excludes, then show and fail on what it changed.
# Reads what GitHub sets (GITHUB_ACTION_PATH, RUNNER_ARCH, RUNNER_OS, RUNNER_TEMP) and the inputs
# action.yml passes (ORVEL_VERSION, ORVEL_EXCLUDES, ORVEL_FAIL_ON_CHANGE). Two more are for
# proving the script away from GitHub (packaging/action/check.sh), and unset on a real runner:
# ORVEL_DOWNLOAD_BASE, where the archives are instead of the release's page, and
# ORVEL_EMULATOR, a program that runs the downloaded orvel (qemu-aarch64-static for ARM64).
set -euo pipefail

error() { printf '::error title=orvel::%s\n' "$*"; exit 1; }

action_dir=${GITHUB_ACTION_PATH:?GITHUB_ACTION_PATH is not set: run this as the orvel Action}
version=${ORVEL_VERSION:?the version input is empty}
case $version in
  v[0-9]*) error "the version input '$version' begins with v: drop the v (version: ${version#v})" ;;
esac
[[ $version =~ ^[0-9A-Za-z][0-9A-Za-z.+~-]*$ ]] || error "'$version' is not a version"

case ${RUNNER_OS:-Linux} in
  Linux) ;;
  *) error "orvel runs on Linux runners; this one is ${RUNNER_OS}" ;;
esac
case ${RUNNER_ARCH:-} in
  X64) arch=x86_64 ;;
  ARM64) arch=aarch64 ;;
  *) error "no orvel release for the runner architecture '${RUNNER_ARCH:-}' (X64 and ARM64 have one)" ;;
esac
case ${ORVEL_FAIL_ON_CHANGE:-true} in
  true | yes) fail_on_change=1 ;;
  false | no) fail_on_change=0 ;;
  *) error "fail-on-change is '$ORVEL_FAIL_ON_CHANGE'; it takes true or false" ;;
esac

name=orvel-$version-linux-$arch
archive=$name.tar.gz
sums=$action_dir/packaging/action/checksums.txt
expected=$(awk -v f="$archive" '!/^#/ && $2 == f { print $1; exit }' "$sums")
[ -n "$expected" ] || error "this action holds no checksum for $archive; use the version it was released with (the input's default) or an action released with $version"

git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
  error "$PWD is not a git checkout: run actions/checkout before this action"

work=$(mktemp -d "${RUNNER_TEMP:-/tmp}/orvel.XXXXXXXX")
trap 'rm -rf "$work"' EXIT

# The excludes become git pathspecs. They are written to a file first: a line excludes.sh
# refuses must stop the step here, since running without the excludes would rewrite the very
# files they protect.
if ! printf '%s\n' "${ORVEL_EXCLUDES:-}" |
  "$action_dir/packaging/excludes.sh" pathspecs - > "$work/pathspecs" 2> "$work/refusal"; then
  refusal=$(sed 's/^excludes.sh: //' "$work/refusal")
  error "the excludes input cannot be used, so nothing was run: $refusal"
fi
pathspecs=()
mapfile -t pathspecs < "$work/pathspecs"

base=${ORVEL_DOWNLOAD_BASE:-https://github.com/orvel-json/orvel/releases/download/v$version}
echo "orvel: fetching $base/$archive"
curl --fail --silent --show-error --location --retry 3 --proto '=https,file' \
  --output "$work/$archive" "$base/$archive" || error "could not download $base/$archive"

actual=$(sha256sum "$work/$archive" | cut -d' ' -f1)
if [ "$actual" != "$expected" ]; then
  error "$archive has SHA-256 $actual, but this action expects $expected; nothing was run"
fi
echo "orvel: $archive has the expected SHA-256 $expected"
tar -xzf "$work/$archive" -C "$work" --no-same-owner "$name/orvel" ||
  error "$archive holds no $name/orvel"
orvel=("$work/$name/orvel")
[ -z "${ORVEL_EMULATOR:-}" ] || orvel=("$ORVEL_EMULATOR" "${orvel[@]}")

# Every line from here to the resume token may hold a file's name, and a line of the log that
# begins with "::" is a workflow command to the runner: a name like "::warning file=x::" would
# raise an annotation, and "::stop-commands::" would silence this step's own errors. The token
# is random, so no name can end the pause.
token=$(od -An -N16 -tx1 /dev/urandom)
token=${token//[[:space:]]/}
[[ $token =~ ^[0-9a-f]{32}$ ]] || error "could not make a random token from /dev/urandom"

git ls-files -z --stage -t -- '*.json' ${pathspecs[@]+"${pathspecs[@]}"} > "$work/index"

declare -A dir_link=()
# Succeeds when a directory on the way to NAME is a symbolic link: git checks out nothing
# beneath one, but an earlier step may have made one. Each directory's answer is kept.
under_link() {
  local d=$1 seen=() answer=0
  while [[ $d == */* ]]; do
    d=${d%/*}
    case ${dir_link["$d"]-} in 0) break ;; 1) answer=1; break ;; esac
    seen+=("$d")
    if [ -L "$d" ]; then
      answer=1
      break
    fi
  done
  for d in ${seen[@]+"${seen[@]}"}; do dir_link["$d"]=$answer; done
  [ "$answer" -eq 1 ]
}

# Sorts what git lists into the files orvel is given and those passed over, each said on one
# line: what git tracks as a symbolic link or a submodule, a file outside a sparse checkout
# (counted, not named), a file that is not a regular file in the working tree (deleted, or
# replaced by a link or a directory since the checkout), and a Git LFS pointer left by a
# checkout without LFS. $work/names gets the names as git has them, $work/args the same names
# for orvel, which refuses any argument that begins with "-": such a name is passed as ./NAME.
lfs_pointer=$'version https://git-lfs.github.com/spec/v1\n'
given=0
declare -A is_given=()
select_files() {
  local entry meta name tag mode prev="" head sparse=0
  : > "$work/names"
  : > "$work/args"
  while IFS= read -r -d '' entry; do
    meta=${entry%%$'\t'*}
    name=${entry#*$'\t'}
    # Unmerged files are listed once for each side; one look is enough.
    [ "$name" != "$prev" ] || continue
    prev=$name
    tag=${meta%% *}
    mode=${meta#* }
    mode=${mode%% *}
    case $mode in
      100644 | 100755) ;;
      120000) printf 'orvel: passed over %q: a symbolic link\n' "$name"; continue ;;
      *) printf 'orvel: passed over %q: not a file (git mode %s)\n' "$name" "$mode"; continue ;;
    esac
    if [ "$tag" = S ]; then
      sparse=$((sparse + 1))
      continue
    fi
    if [ -L "$name" ] || [ ! -f "$name" ] || under_link "$name"; then
      printf 'orvel: passed over %q: not a regular file in the working tree\n' "$name"
      continue
    fi
    head=""
    IFS= read -r -N ${#lfs_pointer} head < "$name" 2>/dev/null || true
    if [ "$head" = "$lfs_pointer" ]; then
      printf 'orvel: passed over %q: a Git LFS pointer (check out with lfs: true to run on it)\n' "$name"
      continue
    fi
    printf '%s\0' "$name" >&4
    is_given["$name"]=1
    case $name in -*) name=./$name ;; esac
    printf '%s\0' "$name" >&5
    given=$((given + 1))
  done < "$work/index" 4>> "$work/names" 5>> "$work/args"
  [ "$sparse" -eq 0 ] || printf 'orvel: passed over, outside the sparse checkout: %d tracked JSON files\n' "$sparse"
}

# Writes to FILE the names of the files orvel is given that differ from what is committed. One
# diff of the whole tree, since git matches thousands of pathspecs slowly.
differing() {
  local name
  git diff --relative --name-only -z > "$work/differing"
  while IFS= read -r -d '' name; do
    [ -z "${is_given["$name"]-}" ] || printf '%s\0' "$name"
  done < "$work/differing" > "$1"
}

status=0
diff_status=0
# Resumes the workflow commands even when the step stops early, so that its error is seen.
paused=0
trap 'rm -rf "$work"; [ "$paused" -eq 0 ] || echo "::$token::"' EXIT
echo "::stop-commands::$token"
paused=1
{
  select_files
  if [ "$given" -eq 0 ]; then
    echo "orvel: no tracked JSON files outside the excludes"
  else
    echo "orvel: tracked JSON files outside the excludes: $given"
    # A file an earlier step changed is orvel's to blame only if orvel changed it again: its
    # bytes are kept as a sum, and such files are few. One that cannot be read is orvel's to
    # report.
    differing "$work/dirty-before"
    declare -A sum_before=()
    while IFS= read -r -d '' name; do
      sum=$(sha256sum < "$name") || sum=unreadable
      sum_before["$name"]=$sum
    done < "$work/dirty-before"
    # xargs runs orvel more than once for a very long list and then says 123 for any failed
    # run; orvel's own status for a file that failed is 1.
    xargs -0r "${orvel[@]}" < "$work/args" || status=$?
    [ "$status" -ne 123 ] || status=1
    differing "$work/dirty-after"
    : > "$work/rewritten"
    rewritten=0
    while IFS= read -r -d '' name; do
      if [ -n "${sum_before["$name"]+set}" ]; then
        sum=$(sha256sum < "$name") || sum=unreadable
        [ "$sum" != "${sum_before["$name"]}" ] || continue
      fi
      printf '%s\0' "$name" >> "$work/rewritten"
      rewritten=$((rewritten + 1))
    done < "$work/dirty-after"
    if [ "$rewritten" -gt 0 ] && [ "$fail_on_change" -eq 1 ]; then
      xargs -0r git --no-pager --literal-pathspecs diff --no-ext-diff --stat --patch -- \
        < "$work/rewritten"
      diff_status=1
    elif [ "$rewritten" -gt 0 ]; then
      echo "orvel: $rewritten files were rewritten, left for the next steps"
    fi
  fi
} 2>&1
paused=0
echo "::$token::"

[ "$status" -eq 0 ] ||
  echo "::error title=orvel::orvel could not read, decode or write a file (status $status); see its report above"
if [ "$diff_status" -ne 0 ]; then
  echo "::error title=orvel::these files were not in canonical form; run orvel on them and commit the result"
  status=1
fi
exit "$status"
