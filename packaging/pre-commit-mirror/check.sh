#!/usr/bin/env bash
# Runs orvel as a pre-commit hook with the real pre-commit client, offline, in scratch git
# repositories, in both of its forms: this repository's hook (language system, the orvel on the
# PATH) and the generated mirror's hook (language python, which installs the orvel wheel itself;
# pip is pointed at the built wheels and Debian's setuptools and wheel, with no index). For each:
# a commit of files with keys out of order fails and leaves them fixed, -x.json and a name full
# of shell syntax included; the next commit passes; every file the excludes protect, names like
# JSON without the .json ending, and links (to an excluded file, and out of the repository) are
# left exactly as they were; and a file that does not decode blocks its commit with orvel's
# report. The mirror is also run with `pre-commit try-repo`, and `pre-commit autoupdate` moves a
# config to its version tag. pre-commit itself shows that the hook selects exactly the files the
# Action selects (names ending in .json, outside the excludes, that git tracks as regular files),
# and the hook's command is run on 10,000 names, its time shown beside orvel's own.
# Uses the release build's orvel and `make wheels` (ORVEL_WHEEL_DIR names a folder of wheels to use
# instead), and installs pre-commit and the wheels pip needs with apt-get when missing and root.
set -euo pipefail
started=$(date +%s%N)
python=/usr/bin/python3
root=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=${BUILD_DIR:-build/release}
version=$("$root/packaging/version.sh")

say() { printf 'precommit: %s\n' "$*"; }
fail() { printf 'precommit: FAILED: %s\n' "$*" >&2; exit 1; }

# pip in the hook's environment builds the mirror with setuptools and wheel, offline: Debian keeps
# those as wheels in /usr/share/python-wheels.
system_wheels=/usr/share/python-wheels
"$root/packaging/ensure_packages.sh" pre-commit=pre-commit py:yaml=python3-yaml \
  "$system_wheels/setuptools-*.whl=python3-setuptools-whl" "$system_wheels/wheel-*.whl=python3-wheel-whl"

make -C "$root" --no-print-directory all BUILD_DIR="$build_dir" >/dev/null
system_path=$PATH
export PATH="$root/$build_dir:$PATH"
if [ -n "${ORVEL_WHEEL_DIR:-}" ]; then
  wheels=$(cd "$ORVEL_WHEEL_DIR" && pwd)
else
  wheels=$root/build/wheels
  make -C "$root" --no-print-directory wheels WHEEL_DIR="$wheels" >/dev/null
fi
compgen -G "$wheels/orvel-$version-*.whl" >/dev/null || fail "no orvel $version wheel in $wheels"
orvel_path=$(command -v orvel)
pre_commit_version=$(pre-commit --version)
say "using $orvel_path, the wheels in $wheels and ${pre_commit_version}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Nothing from the user's own git, pip or pre-commit setup, and no network: hook repositories
# are local ones, cloned by path, and pip installs from the folders given and no index.
export HOME="$scratch" GIT_CONFIG_NOSYSTEM=1 PRE_COMMIT_HOME="$scratch/cache"
export PIP_NO_INDEX=1 PIP_FIND_LINKS="$wheels $system_wheels" PIP_CONFIG_FILE=/dev/null
export PIP_DISABLE_PIP_VERSION_CHECK=1
git config --global user.name "orvel check"
git config --global user.email "check@orvel.invalid"
git config --global init.defaultBranch main

# This repository as a hook repository: its hook definition, committed.
hooks="$scratch/hooks"
git init -q "$hooks"
cp "$root/.pre-commit-hooks.yaml" "$hooks/"
git -C "$hooks" add .pre-commit-hooks.yaml
git -C "$hooks" commit -q -m "hook definition"

# The mirror, as `make pre-commit-mirror` makes it for this version.
mirror="$scratch/mirror"
"$root/packaging/pre-commit-mirror/make-mirror.sh" "$mirror" >/dev/null
mirror_tag=$(git -C "$mirror" describe --tags --exact-match HEAD)
[ "$mirror_tag" = "v$version" ] || fail "the mirror's commit is not tagged v$version"

# Shows a command and what it printed; sets $status and $out.
show() {
  echo "\$ $*"
  status=0
  "$@" > "$scratch/out" 2>&1 || status=$?
  out=$(cat "$scratch/out")
  sed 's/^/    /' "$scratch/out"
  echo "    (status $status)"
}

unsorted='{"b": 1, "a": [1E5, -0]}'
printf '{\n  "a": [\n    1e+5,\n    0\n  ],\n  "b": 1\n}\n' > "$scratch/expected"
# A name the hook's command must hand over untouched, whatever a shell would make of it.
weird=$'a "b" $(c) \'d\' ${e} \\ f.json'
# What the hooks must leave as they are: the files the excludes protect, names like JSON without
# the .json ending, and links, to an excluded file and to a file outside the repository.
left=$scratch/left-alone
"$root/packaging/left_alone.sh" "$left"
printf '%s' "$unsorted" > "$scratch/outside.json"
ln -s package.json "$left/link.json"
mkdir -p "$left/out"
ln -s "$scratch/outside.json" "$left/out/ext.json"
(cd "$left" && find . \( -type f -o -type l \) -printf '%P\0') > "$scratch/left-alone.list"
mapfile -d '' left_names < "$scratch/left-alone.list"

# Puts the unsorted files and what must be left alone into the current repository, staged.
stage_files() {
  printf '%s' "$unsorted" > data.json
  printf '%s' "$unsorted" > ./-x.json
  printf '%s' "$unsorted" > "$weird"
  cp -a "$left/." .
  git add -A
}
check_files() {
  local f
  for f in data.json -x.json "$weird"; do
    cmp -s -- "$f" "$scratch/expected" || fail "$1: $f was not left in canonical form"
  done
  for f in "${left_names[@]}"; do
    if [ -L "$left/$f" ]; then
      [ -L "$f" ] || fail "$1: $f is no longer a link"
    else
      cmp -s -- "$f" "$left/$f" || fail "$1: $f was changed"
    fi
  done
  printf '%s' "$unsorted" | cmp -s "$scratch/outside.json" - || fail "$1: a file outside the repository was changed"
}

# The commits of one hook form, in a new project whose config names REPO at REV.
commits() {
  local form=$1 repo=$2 rev=$3
  local project="$scratch/project-$form"
  git init -q "$project"
  cd "$project"
  printf 'repos:\n  - repo: %s\n    rev: %s\n    hooks:\n      - id: orvel\n' "$repo" "$rev" \
    > .pre-commit-config.yaml
  if [ "$form" = mirror ]; then
    # A config naming the mirror's commit is moved to its tag, as for every release.
    show pre-commit autoupdate
    grep -q "rev: v$version\$" .pre-commit-config.yaml || fail "autoupdate did not move rev to v$version"
  fi
  pre-commit install >/dev/null 2>&1
  git add .pre-commit-config.yaml
  git commit -q -m "use orvel" >/dev/null 2>&1

  stage_files
  show git commit -q -m "add files"
  [ "$status" -ne 0 ] || fail "$form: files with keys out of order were committed"
  check_files "$form"
  git add -- data.json -x.json "$weird"
  show git commit -q -m "add files"
  [ "$status" -eq 0 ] || fail "$form: the fixed files were not committed"
  last=$(git log -1 --format=%s)
  [ "$last" = "add files" ] || fail "$form: the commit is missing"

  printf '{"a": 1,}\n' > broken.json
  cp broken.json "$scratch/broken"
  git add broken.json
  show git commit -q -m "add broken.json"
  [ "$status" -ne 0 ] || fail "$form: a file that does not decode was committed"
  [[ $out == *"JSONDecodeError: trailing comma at line 1 column 9"* ]] || fail "$form: orvel's report was not shown"
  cmp -s broken.json "$scratch/broken" || fail "$form: broken.json was changed"
  last=$(git log -1 --format=%s)
  [ "$last" = "add files" ] || fail "$form: broken.json was committed"
  say "ok: the $form hook fixes and stops, passes the fixed files, leaves the excludes, the links and other names alone, and blocks a broken file"
}

say "this repository's hook (language system, the orvel on the PATH)"
hooks_rev=$(git -C "$hooks" rev-parse HEAD)
commits system "$hooks" "$hooks_rev"

# What the hook selects, as pre-commit itself selects it: the hook definition as it is, with a
# command that only records the names it is given, run on every file of a repository that holds
# what must be left alone beside files that must be selected. The Action selects the names git
# lists for '*.json' outside the excludes' pathspecs whose git mode is a regular file's.
say "the files each selects: the hook, as pre-commit runs it, and the Action"
selection="$scratch/selection-hooks"
git init -q "$selection"
sed "s|^\(  entry: \).*|\1sh -c 'printf \"%s\\\\0\" \"\$@\" >> \"\$SELECTED\"' record|" \
  "$root/.pre-commit-hooks.yaml" > "$selection/.pre-commit-hooks.yaml"
grep -q 'SELECTED' "$selection/.pre-commit-hooks.yaml" || fail "the hook's entry was not replaced"
git -C "$selection" add .pre-commit-hooks.yaml
git -C "$selection" commit -q -m "recording hook"
project="$scratch/project-selection"
git init -q "$project"
cd "$project"
selection_rev=$(git -C "$selection" rev-parse HEAD)
printf 'repos:\n  - repo: %s\n    rev: %s\n    hooks:\n      - id: orvel\n' "$selection" "$selection_rev" \
  > .pre-commit-config.yaml
stage_files
mkdir -p deep/er
printf '%s' "$unsorted" > deep/er/x.json
printf '%s' "$unsorted" > .json
git add -A
export SELECTED="$scratch/selected-by-hook"
: > "$SELECTED"
show pre-commit run --all-files
sort -z "$SELECTED" > "$scratch/hook.list"
"$root/packaging/excludes.sh" pathspecs > "$scratch/pathspecs"
mapfile -t pathspecs < "$scratch/pathspecs"
git ls-files -z --stage -- '*.json' "${pathspecs[@]}" > "$scratch/staged"
sed -z -n '/^100/s/^[^\t]*\t//p' "$scratch/staged" | sort -z > "$scratch/action.list"
if ! cmp -s "$scratch/hook.list" "$scratch/action.list"; then
  diff <(tr '\0' '\n' < "$scratch/hook.list") <(tr '\0' '\n' < "$scratch/action.list") || true
  fail "the hook and the Action select different files (< the hook, > the Action)"
fi
selected=$(tr '\0' ' ' < "$scratch/hook.list")
say "ok: both select the same files: $selected"

# The hook's command on 10,000 names, against orvel on the same names, once with plain names and
# once with a name that begins with "-", which makes the command rebuild its arguments. The
# times are shown, not asserted; that every file came out canonical is.
entry=$("$python" -c 'import sys, yaml; print(yaml.safe_load(open(sys.argv[1]))[0]["entry"])' \
  "$root/.pre-commit-hooks.yaml")
script=$("$python" -c 'import shlex, sys; w = shlex.split(sys.argv[1]); assert w[:2] == ["sh", "-c"]; print(w[2])' \
  "$entry")
many="$scratch/many"
mkdir "$many"
cd "$many"
names=()
for i in $(seq 1 10000); do names+=("f$i.json"); done
for name in "${names[@]}"; do printf '%s' "$unsorted" > "$name"; done
ms() { local t; t=$(date +%s%N); echo $(( (t - $1) / 1000000 )); }
t=$(date +%s%N); orvel "${names[@]}" > /dev/null; alone=$(ms "$t")
for name in "${names[@]}"; do printf '%s' "$unsorted" > "$name"; done
t=$(date +%s%N); sh -c "$script" orvel "${names[@]}" > /dev/null; plain=$(ms "$t")
for name in "${names[@]}"; do cmp -s "$name" "$scratch/expected" || fail "the hook's command left $name unsorted"; done
printf '%s' "$unsorted" > ./-first.json
for name in "${names[@]}"; do printf '%s' "$unsorted" > "$name"; done
t=$(date +%s%N); sh -c "$script" orvel -first.json "${names[@]}" > /dev/null; dashed=$(ms "$t")
for name in -first.json "${names[@]}"; do
  cmp -s -- "$name" "$scratch/expected" || fail "the hook's command left $name unsorted"
done
say "ok: on 10,000 names orvel alone took $alone ms, the hook's command $plain ms, and $dashed ms with a name beginning with -"

say "the mirror's hook (language python, orvel installed from its wheel)"
# The build's orvel is not on the PATH now; pre-commit puts the hook's environment first anyway.
export PATH=$system_path
if installed=$(command -v orvel); then say "note: $installed is installed, but comes after the hook's own"; fi
try="$scratch/try"
git init -q "$try"
cd "$try"
stage_files
printf '{"a": 1,}\n' > broken.json
git add broken.json
show pre-commit try-repo "$mirror" orvel
[ "$status" -ne 0 ] || fail "try-repo passed unsorted and broken files"
[[ $out == *"JSONDecodeError: trailing comma at line 1 column 9"* ]] || fail "try-repo: orvel's report was not shown"
check_files try-repo
say "ok: try-repo on the mirror fixes data.json, -x.json and $weird, reports broken.json, leaves the rest"
mirror_rev=$(git -C "$mirror" rev-parse HEAD)
commits mirror "$mirror" "$mirror_rev"

now=$(date +%s%N)
say "ok: both hooks work ($(( (now - started) / 1000000 )) ms)"
