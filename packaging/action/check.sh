#!/usr/bin/env bash
# Proves the GitHub Action without GitHub. action.yml's composite step is run here the way a
# runner runs it (its inputs substituted, the runner's variables set, bash -eo pipefail), on
# scratch git repositories, with file:// addresses of `make dist` output in place of the release
# page and checksums recorded for that output, as a release records them. It shows that the
# Action passes a canonical tree and leaves the excluded files alone, fails with the diff on an
# unsorted one (and fixes a file named -x.json), refuses an archive with one byte flipped before
# running anything, takes the ARM64 branch under qemu, and refuses a version it has no checksum
# for. Also: the README's recipes, run as written, fix -x.json and leave the excludes, node_modules
# and .git alone; shellcheck passes on the scripts; the generated blocks agree with their sources.
# ORVEL_DIST_DIR names a folder of archives and SHA256SUMS to use instead of running make dist.
# Installs shellcheck, qemu-user-static, curl and python3-yaml with apt-get when missing and root.
set -euo pipefail
started=$(date +%s%N)
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$("$root/packaging/version.sh")

say() { printf 'action: %s\n' "$*"; }
fail() { printf 'action: FAILED: %s\n' "$*" >&2; exit 1; }

"$root/packaging/ensure_packages.sh" shellcheck=shellcheck qemu-aarch64-static=qemu-user-static \
  curl=curl py:yaml=python3-yaml
python=/usr/bin/python3

shellcheck "$root/packaging/action/"*.sh "$root/packaging/excludes.sh" "$root/packaging/generated.sh" \
  "$root/packaging/pre-commit-mirror/make-mirror.sh" "$root/tests/precommit_check.sh"
say "shellcheck passes on the Action's, the hooks' and the excludes' scripts"
"$root/packaging/generated.sh" check | sed 's/^/action: /'

if [ -n "${ORVEL_DIST_DIR:-}" ]; then
  dist=$(cd "$ORVEL_DIST_DIR" && pwd)
else
  dist=$root/build/dist
  make -C "$root" --no-print-directory dist DIST_DIR="$dist" >/dev/null
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch" GIT_CONFIG_NOSYSTEM=1
git config --global user.name "orvel check"
git config --global user.email "check@orvel.invalid"
git config --global init.defaultBranch main

# The Action as a release holds it: this tree's files, with the checksums of the archives under
# test. The committed checksums belong to the released archives, not to this build.
action=$scratch/action
mkdir -p "$action/packaging/action"
cp "$root/action.yml" "$action/"
cp "$root/packaging/excludes.sh" "$root/packaging/excludes.txt" "$action/packaging/"
cp "$root/packaging/action/run.sh" "$root/packaging/action/checksums.txt" "$action/packaging/action/"
"$root/packaging/action/checksums.sh" "$dist" "$action/packaging/action/checksums.txt" |
  sed 's/^/action: /'

# The same archives with one byte of the x86-64 one flipped.
bad=$scratch/bad-dist
cp -R "$dist" "$bad"
x64=$bad/orvel-$version-linux-x86_64.tar.gz
"$python" - "$x64" <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
data[len(data) // 2] ^= 0x01
open(path, "wb").write(data)
PY

# Runs action.yml's steps as a runner does: ${{ inputs.NAME }} replaced by the given input or
# its default, each `shell: bash` step's script run with bash --noprofile --norc -eo pipefail.
# Arguments: NAME=VALUE inputs. Exits with the first failing step's status.
run_action() {
  "$python" - "$action/action.yml" "$@" <<'PY'
import os, re, subprocess, sys, yaml
action = yaml.safe_load(open(sys.argv[1]))
given = dict(arg.split("=", 1) for arg in sys.argv[2:])
inputs = {name: given.get(name, str(i.get("default", ""))) for name, i in action["inputs"].items()}
unknown = set(given) - set(inputs)
if unknown:
    sys.exit(f"no such input: {sorted(unknown)}")
assert action["runs"]["using"] == "composite", "the action is not composite"
def expand(text):
    def one(m):
        name = re.fullmatch(r"inputs\.([A-Za-z0-9_-]+)", m.group(1).strip())
        if not name:
            sys.exit(f"unsupported expression: {m.group(0)}")
        return inputs[name.group(1)]
    return re.sub(r"\$\{\{(.*?)\}\}", one, str(text))
for step in action["runs"]["steps"]:
    assert step.get("shell") == "bash", "a step is not a bash step"
    env = dict(os.environ)
    env.update({k: expand(v) for k, v in step.get("env", {}).items()})
    status = subprocess.call(["bash", "--noprofile", "--norc", "-eo", "pipefail", "-c",
                              expand(step["run"])], env=env, stdin=subprocess.DEVNULL)
    if status != 0:
        sys.exit(status)
PY
}

# A runner's variables, and archives served from file:// instead of the release page.
export GITHUB_ACTION_PATH="$action" RUNNER_OS=Linux RUNNER_TEMP="$scratch/runner-temp"
mkdir -p "$RUNNER_TEMP"

# Makes a fresh repository REPO with the given FILE CONTENT pairs committed.
make_repo() {
  local repo=$scratch/$1
  shift
  rm -rf "$repo"
  git init -q "$repo"
  while [ $# -gt 0 ]; do
    mkdir -p "$(dirname "$repo/$1")"
    printf '%s' "$2" > "$repo/$1"
    shift 2
  done
  git -C "$repo" add -A
  git -C "$repo" commit -q -m files --allow-empty
}

# Runs the Action in REPO with ARCH (X64 or ARM64), archives from DIST and the given inputs;
# shows what it printed and sets $status and $out.
attempt() {
  local name=$1 repo=$scratch/$1 arch=$2 from=$3
  shift 3
  echo "\$ (in $name) RUNNER_ARCH=$arch ORVEL_DOWNLOAD_BASE=file://$from${ORVEL_EMULATOR:+ ORVEL_EMULATOR=$ORVEL_EMULATOR} action $*"
  status=0
  (cd "$repo" && RUNNER_ARCH=$arch ORVEL_DOWNLOAD_BASE="file://$from" run_action "$@") \
    > "$scratch/out" 2>&1 || status=$?
  out=$(cat "$scratch/out")
  sed 's/^/    /' "$scratch/out"
  echo "    (status $status)"
}

canonical_data=$'{\n  "a": [\n    1e+5,\n    0\n  ],\n  "b": 1\n}\n'
unsorted_data='{"b": 1, "a": [1E5, -0]}'
package_json=$'{\n  "name": "p",\n  "exports": {\n    ".": {\n      "types": "./i.d.ts",\n      "import": "./i.mjs",\n      "default": "./i.cjs"\n    }\n  }\n}\n'
tsconfig_json=$'{\n  // comments are allowed here\n  "compilerOptions": {"strict": true,},\n}\n'
vscode_json=$'{\n  "editor.tabSize": 2, // and here\n}\n'
owned=(package.json "$package_json" tsconfig.json "$tsconfig_json" .vscode/settings.json "$vscode_json"
  web/package-lock.json '{"b": 1, "a": 2}')

unchanged() {
  (cd "$scratch/$1" && git diff --quiet -- package.json tsconfig.json .vscode web/package-lock.json) ||
    fail "an excluded file was changed in $1"
}
is_canonical() { [ "$(cat "$scratch/$1/$2"; echo x)" = "${canonical_data}x" ] || fail "$1/$2 is not canonical"; }

# 1. A canonical tree passes; the files other tools own are left alone.
make_repo canonical data.json "$canonical_data" ./-x.json "$canonical_data" \
  sub/deep.json "$canonical_data" "${owned[@]}"
attempt canonical X64 "$dist"
[ "$status" -eq 0 ] || fail "the Action failed on a canonical tree"
[[ $out == *"expected SHA-256"* && $out == *"6 / 6 passed"* ]] || fail "orvel did not check the three files"
unchanged canonical
say "ok: a canonical tree passes, and the excluded files stay as they are"

# 2. An unsorted tree fails with the diff, and its files are left fixed.
make_repo unsorted data.json "$unsorted_data" ./-x.json "$unsorted_data" "${owned[@]}"
attempt unsorted X64 "$dist"
[ "$status" -eq 1 ] || fail "the Action did not fail on an unsorted tree"
[[ $out == *"diff --git a/-x.json b/-x.json"* && $out == *"diff --git a/data.json b/data.json"* ]] ||
  fail "the diff was not shown"
is_canonical unsorted data.json
is_canonical unsorted -x.json
unchanged unsorted
say "ok: an unsorted tree fails with the diff, -x.json included"

# 3. One flipped byte: refused before anything is unpacked or run.
make_repo flipped data.json "$unsorted_data"
attempt flipped X64 "$bad"
[ "$status" -ne 0 ] || fail "an archive with a flipped byte was accepted"
[[ $out == *"but this action expects"* && $out != *"orveller"* ]] || fail "the mismatch was not named, or orvel ran"
[ "$(cat "$scratch/flipped/data.json")" = "$unsorted_data" ] || fail "a file was touched"
[ -z "$(ls -A "$RUNNER_TEMP")" ] || fail "the download was left in RUNNER_TEMP"
say "ok: an archive with one byte flipped is refused and nothing runs"

# 4. ARM64: the aarch64 archive, its program run by qemu unless the kernel already hands
# aarch64 programs to it.
if [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
  say "the kernel runs aarch64 programs through qemu (binfmt_misc)"
else
  export ORVEL_EMULATOR
  ORVEL_EMULATOR=$(command -v qemu-aarch64-static)
fi
make_repo arm64 data.json "$unsorted_data" ./-x.json "$unsorted_data" "${owned[@]}"
attempt arm64 ARM64 "$dist"
unset ORVEL_EMULATOR
[ "$status" -eq 1 ] || fail "the ARM64 run did not fail on an unsorted tree"
[[ $out == *"orvel-$version-linux-aarch64.tar.gz has the expected SHA-256"* ]] || fail "the aarch64 archive was not used"
[[ $out == *"diff --git a/data.json b/data.json"* ]] || fail "the ARM64 run showed no diff"
is_canonical arm64 data.json
is_canonical arm64 -x.json
unchanged arm64
say "ok: ARM64 takes the aarch64 archive, run under qemu"

# 5. fail-on-change false leaves the fixes for later steps; a broken file still fails.
make_repo later data.json "$unsorted_data"
attempt later X64 "$dist" fail-on-change=false
[ "$status" -eq 0 ] || fail "fail-on-change=false failed on a fixable tree"
is_canonical later data.json
make_repo broken data.json "$canonical_data" broken.json '{"a": 1,}'
attempt broken X64 "$dist" fail-on-change=false
if [ "$status" -eq 0 ] || [[ $out != *"JSONDecodeError"* ]]; then
  fail "a broken file did not fail the step with the report"
fi
say "ok: fail-on-change=false passes a fixed tree and still fails on a broken file"

# 6. A narrower excludes input lets orvel at package.json; a version without checksums is refused.
make_repo narrow package.json '{"b": 1, "a": 2}' tsconfig.json "$tsconfig_json"
attempt narrow X64 "$dist" excludes=tsconfig.json
if [ "$status" -ne 1 ] || [[ $out != *"diff --git a/package.json"* ]]; then
  fail "the excludes input was not used"
fi
make_repo other data.json "$canonical_data"
attempt other X64 "$dist" version=9.9.9
if [ "$status" -eq 0 ] || [[ $out != *"holds no checksum for orvel-9.9.9-linux-x86_64.tar.gz"* ]]; then
  fail "a version without checksums was not refused"
fi
say "ok: the excludes input is used, and a version the Action has no checksum for is refused"

# 7. The README's recipes, run as written with this build's orvel on the PATH: the one for CI
# (git ls-files) and the one for every file on disk (find).
mkdir -p "$scratch/bin"
tar -xzf "$dist/orvel-$version-linux-x86_64.tar.gz" -C "$scratch/bin" --strip-components=1 \
  "orvel-$version-linux-x86_64/orvel"
recipe() {
  sed -n "/begin generated: readme-$1 -->/,/end generated/p" "$root/README.md" | sed '1,2d; $d' | sed '$d'
}
try_recipe() {
  local name=$1 which=$2
  echo "\$ (in $name) the README's $which recipe"
  status=0
  (cd "$scratch/$name" && PATH="$scratch/bin:$PATH" bash -eo pipefail -c "$(recipe "$which")") \
    > "$scratch/out" 2>&1 || status=$?
  out=$(cat "$scratch/out")
  sed 's/^/    /' "$scratch/out"
  echo "    (status $status)"
}
make_repo recipe data.json "$unsorted_data" ./-x.json "$unsorted_data" node_modules/m/x.json "$unsorted_data" \
  "${owned[@]}"
try_recipe recipe ci
if [ "$status" -ne 1 ] || [[ $out != *"diff --git a/-x.json"* ]]; then fail "the CI recipe did not fail with the diff"; fi
is_canonical recipe data.json
is_canonical recipe -x.json
unchanged recipe
[ "$(cat "$scratch/recipe/node_modules/m/x.json")" = "$unsorted_data" ] || fail "the CI recipe went into node_modules"
make_repo nojson README.md "no JSON here"
try_recipe nojson ci
[ "$status" -eq 0 ] || fail "the CI recipe failed in a repository without JSON"
make_repo tree data.json "$unsorted_data" ./-x.json "$unsorted_data" "${owned[@]}"
mkdir -p "$scratch/tree/node_modules/m" "$scratch/tree/.git/x"
printf '%s' "$unsorted_data" > "$scratch/tree/node_modules/m/x.json"
printf '%s' "$unsorted_data" > "$scratch/tree/.git/x/y.json"
try_recipe tree find
[ "$status" -eq 0 ] || fail "the find recipe failed"
is_canonical tree data.json
is_canonical tree -x.json
unchanged tree
[ "$(cat "$scratch/tree/node_modules/m/x.json")" = "$unsorted_data" ] || fail "the find recipe went into node_modules"
[ "$(cat "$scratch/tree/.git/x/y.json")" = "$unsorted_data" ] || fail "the find recipe went into .git"
say "ok: the README's recipes fix -x.json, leave the excludes, node_modules and .git alone, and pass without JSON"

# The committed Action: its checksums file is well formed, and a release tag holds the sums of
# its own version.
bad_lines=$(grep -v -E -e '^#' -e '^[0-9a-f]{64}  orvel-[0-9A-Za-z.+~-]+-linux-(x86_64|aarch64)\.tar\.gz$' \
  "$root/packaging/action/checksums.txt" || true)
[ -z "$bad_lines" ] || fail "packaging/action/checksums.txt has lines sha256sum would not write: $bad_lines"
if git -C "$root" describe --exact-match --tags HEAD 2>/dev/null | grep -qx "v$version"; then
  for arch in x86_64 aarch64; do
    grep -q "  orvel-$version-linux-$arch.tar.gz\$" "$root/packaging/action/checksums.txt" ||
      fail "v$version is tagged, but the Action holds no checksum for its $arch archive"
  done
fi
say "ok: every check passed in $(( ($(date +%s%N) - started) / 1000000 )) ms"
