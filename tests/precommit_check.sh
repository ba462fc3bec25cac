#!/usr/bin/env bash
# Runs orvel as a pre-commit hook with the real pre-commit client, offline, in scratch git
# repositories, in both of its forms: this repository's hook (language system, the orvel on the
# PATH) and the generated mirror's hook (language python, which installs the orvel wheel itself;
# pip is pointed at the built wheels and Debian's setuptools and wheel, with no index). For each:
# a commit of files with keys out of order fails and leaves them fixed, -x.json included; the next
# commit passes; package.json with order-sensitive "exports" and a tsconfig.json with comments are
# left exactly as they were; and a file that does not decode blocks its commit with orvel's report.
# The mirror is also run with `pre-commit try-repo`, and `pre-commit autoupdate` moves a config to
# its version tag.
# Uses the release build's orvel and `make wheels` (ORVEL_WHEEL_DIR names a folder of wheels to use
# instead), and installs pre-commit and the wheels pip needs with apt-get when missing and root.
set -euo pipefail
started=$(date +%s%N)
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-build/release}
version=$("$root/packaging/version.sh")

say() { printf 'precommit: %s\n' "$*"; }
fail() { printf 'precommit: FAILED: %s\n' "$*" >&2; exit 1; }

# pip in the hook's environment builds the mirror with setuptools and wheel, offline: Debian keeps
# those as wheels in /usr/share/python-wheels.
system_wheels=/usr/share/python-wheels
"$root/packaging/ensure_packages.sh" pre-commit=pre-commit \
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
say "using $(command -v orvel), the wheels in $wheels and pre-commit $(pre-commit --version | cut -d' ' -f2)"

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
[ "$(git -C "$mirror" describe --tags --exact-match HEAD)" = "v$version" ] || fail "the mirror's commit is not tagged v$version"

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
# Node takes the first condition that matches, so this order is the meaning.
printf '{\n  "name": "p",\n  "exports": {\n    ".": {\n      "types": "./i.d.ts",\n      "import": "./i.mjs",\n      "default": "./i.cjs"\n    }\n  }\n}\n' > "$scratch/package.json"
printf '{\n  // comments are allowed here\n  "compilerOptions": {"strict": true,},\n}\n' > "$scratch/tsconfig.json"

# Puts the unsorted files and the two that other tools own into the current repository, staged.
stage_files() {
  printf '%s' "$unsorted" > data.json
  printf '%s' "$unsorted" > ./-x.json
  cp "$scratch/package.json" "$scratch/tsconfig.json" .
  git add -- data.json -x.json package.json tsconfig.json
}
check_files() {
  cmp -s data.json "$scratch/expected" || fail "$1: data.json was not left in canonical form"
  cmp -s -- -x.json "$scratch/expected" || fail "$1: -x.json was not left in canonical form"
  cmp -s package.json "$scratch/package.json" || fail "$1: package.json was changed"
  cmp -s tsconfig.json "$scratch/tsconfig.json" || fail "$1: tsconfig.json was changed"
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
  git add -- data.json -x.json
  show git commit -q -m "add files"
  [ "$status" -eq 0 ] || fail "$form: the fixed files were not committed"
  [ "$(git log -1 --format=%s)" = "add files" ] || fail "$form: the commit is missing"

  printf '{"a": 1,}\n' > broken.json
  cp broken.json "$scratch/broken"
  git add broken.json
  show git commit -q -m "add broken.json"
  [ "$status" -ne 0 ] || fail "$form: a file that does not decode was committed"
  [[ $out == *"JSONDecodeError: trailing comma at line 1 column 9"* ]] || fail "$form: orvel's report was not shown"
  cmp -s broken.json "$scratch/broken" || fail "$form: broken.json was changed"
  [ "$(git log -1 --format=%s)" = "add files" ] || fail "$form: broken.json was committed"
  say "ok: the $form hook fixes and stops, passes the fixed files, leaves package.json and tsconfig.json, and blocks a broken file"
}

say "this repository's hook (language system, the orvel on the PATH)"
commits system "$hooks" "$(git -C "$hooks" rev-parse HEAD)"

say "the mirror's hook (language python, orvel installed from its wheel)"
# The build's orvel is not on the PATH now; pre-commit puts the hook's environment first anyway.
export PATH=$system_path
if command -v orvel >/dev/null; then say "note: $(command -v orvel) is installed, but comes after the hook's own"; fi
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
say "ok: try-repo on the mirror fixes data.json and -x.json, reports broken.json, leaves the rest"
commits mirror "$mirror" "$(git -C "$mirror" rev-parse HEAD)"

say "ok: both hooks work ($(( ($(date +%s%N) - started) / 1000000 )) ms)"
