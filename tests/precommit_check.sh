#!/usr/bin/env bash
# Runs orvel as a pre-commit hook with the real pre-commit client, offline, in a scratch git
# repository whose .pre-commit-config.yaml lists a copy of this repository's hook definition:
# a commit of a file with keys out of order fails and leaves the file fixed, the next commit
# passes, and a file that does not decode blocks its commit with orvel's report.
# Uses the release build's orvel (building it when needed) and installs pre-commit with apt-get
# when it is missing and we are root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-build/release}

say() { printf 'precommit: %s\n' "$*"; }
fail() { printf 'precommit: FAILED: %s\n' "$*" >&2; exit 1; }

if ! command -v pre-commit >/dev/null; then
  [ "$(id -u)" -eq 0 ] || fail "pre-commit is not installed (Debian package pre-commit)"
  say "installing pre-commit with apt-get"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq pre-commit >/dev/null
fi

make -C "$root" --no-print-directory all BUILD_DIR="$build_dir" >/dev/null
export PATH="$root/$build_dir:$PATH"
say "using $(command -v orvel) and pre-commit $(pre-commit --version | cut -d' ' -f2)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Nothing from the user's own git or pre-commit setup, and no network: the hook repository is
# a local one, cloned by path.
export HOME="$scratch" GIT_CONFIG_NOSYSTEM=1 PRE_COMMIT_HOME="$scratch/cache"
git config --global user.name "orvel check"
git config --global user.email "check@orvel.invalid"
git config --global init.defaultBranch main

hooks="$scratch/hooks"
git init -q "$hooks"
cp "$root/.pre-commit-hooks.yaml" "$hooks/"
git -C "$hooks" add .pre-commit-hooks.yaml
git -C "$hooks" commit -q -m "hook definition"

project="$scratch/project"
git init -q "$project"
cd "$project"
cat > .pre-commit-config.yaml <<YAML
repos:
  - repo: $hooks
    rev: $(git -C "$hooks" rev-parse HEAD)
    hooks:
      - id: orvel
YAML
pre-commit install >/dev/null 2>&1
git add .pre-commit-config.yaml
git commit -q -m "use orvel" >/dev/null 2>&1

# Runs git commit, shows what it printed, and returns its status.
commit() {
  echo "\$ git commit -m \"$1\""
  local status=0
  git commit -q -m "$1" > "$scratch/out" 2>&1 || status=$?
  sed 's/^/    /' "$scratch/out"
  echo "    (status $status)"
  return "$status"
}

printf '{"b": 1, "a": [1E5, -0]}' > data.json
git add data.json
if commit "add data.json"; then fail "a file with keys out of order was committed"; fi
printf '{\n  "a": [\n    1e+5,\n    0\n  ],\n  "b": 1\n}\n' > "$scratch/expected"
cmp -s data.json "$scratch/expected" || fail "data.json was not left in canonical form"
git add data.json
commit "add data.json" || fail "the fixed file was not committed"
[ "$(git log -1 --format=%s)" = "add data.json" ] || fail "the commit is missing"

printf '{"a": 1,}\n' > broken.json
cp broken.json "$scratch/broken"
git add broken.json
if commit "add broken.json"; then fail "a file that does not decode was committed"; fi
grep -q "JSONDecodeError" "$scratch/out" || fail "orvel's report was not shown"
cmp -s broken.json "$scratch/broken" || fail "broken.json was changed"
[ "$(git log -1 --format=%s)" = "add data.json" ] || fail "broken.json was committed"

say "ok: the hook fixes and blocks, and passes a fixed file"
