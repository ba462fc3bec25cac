#!/usr/bin/env bash
# Proves the GitHub Action without GitHub. action.yml's composite step is run here the way a
# runner runs it (its inputs substituted, the runner's variables set, bash -eo pipefail), on
# scratch git repositories, with file:// addresses of `make dist` output in place of the release
# page and checksums recorded for that output, as a release records them. It shows that the
# Action passes a canonical tree and leaves alone every file the excludes protect and every
# file git tracks as a symbolic link (one leading out of the checkout included); fails with the
# diff on an unsorted one (and fixes a file named -x.json), blaming only files orvel rewrote, not
# one an earlier step changed; refuses an archive with one byte flipped, and an excludes input
# with a line it cannot use, before running anything; passes over a sparse checkout's missing
# files, Git LFS pointers and deleted files, saying so; reports orvel's own status for a file
# that fails; keeps file names from starting workflow commands while its own errors still
# reach the runner; takes the ARM64 branch under qemu; and refuses a version it has no checksum
# for, or one written with a v. Also: the README's recipes, run as written, fix -x.json and leave
# the excludes, links, node_modules and .git alone; shellcheck (with masked returns checked)
# passes on the scripts; the generated blocks agree with their sources.
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

shellcheck -o check-extra-masked-returns "$root/packaging/action/"*.sh "$root/packaging/excludes.sh" \
  "$root/packaging/generated.sh" "$root/packaging/left_alone.sh" "$root/packaging/pre-commit-mirror/"*.sh
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

# Makes a fresh repository REPO with the given FILE CONTENT pairs committed, and with what the
# Action must leave alone when the first argument after REPO is +left-alone.
make_repo() {
  local repo=$scratch/$1
  shift
  rm -rf "$repo"
  git init -q "$repo"
  if [ "${1:-}" = +left-alone ]; then
    cp -a "$left/." "$repo/"
    shift
  fi
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
# What the Action must leave as it is, copied into a repository by make_repo's +left-alone: the
# files the excludes protect, names like JSON without the .json ending, and links, to an
# excluded file and to a file outside the checkout.
left=$scratch/left-alone
"$root/packaging/left_alone.sh" "$left"
printf '%s' "$unsorted_data" > "$scratch/outside.json"
ln -s package.json "$left/link.json"
mkdir -p "$left/out"
ln -s "$scratch/outside.json" "$left/out/ext.json"
(cd "$left" && find . \( -type f -o -type l \) -printf '%P\0') > "$scratch/left-alone.list"
mapfile -d '' left_names < "$scratch/left-alone.list"
[ "${#left_names[@]}" -gt 10 ] || fail "left_alone.sh wrote too few files"

# Succeeds when FILE holds exactly TEXT.
holds() { printf '%s' "$2" | cmp -s -- "$1" -; }
unchanged() {
  local f
  for f in "${left_names[@]}"; do
    if [ -L "$left/$f" ]; then
      [ -L "$scratch/$1/$f" ] || fail "$1/$f is no longer a link"
    else
      cmp -s "$left/$f" "$scratch/$1/$f" || fail "$1/$f was changed"
    fi
  done
  holds "$scratch/outside.json" "$unsorted_data" || fail "a file outside the checkout was changed"
}
is_canonical() { holds "$scratch/$1/$2" "$canonical_data" || fail "$1/$2 is not canonical"; }

# The workflow commands a runner would act on in $out: lines beginning with "::" (after any
# blanks), except between ::stop-commands::TOKEN and ::TOKEN::.
commands() {
  local line token=""
  while IFS= read -r line; do
    line=${line#"${line%%[![:space:]]*}"}
    if [ -n "$token" ]; then
      [ "$line" != "::$token::" ] || token=""
      continue
    fi
    case $line in
      ::stop-commands::*) token=${line#::stop-commands::} ;;
      ::*) printf '%s\n' "$line" ;;
    esac
  done <<< "$out"
}
# Fails unless every workflow command in $out is one of the Action's own errors, and the given
# error is among them.
only_own_commands() {
  local seen
  seen=$(commands)
  if grep -v -e '^::error title=orvel::' -e '^$' <<< "$seen"; then fail "a file name started a workflow command"; fi
  [ -z "$1" ] || grep -qF "::error title=orvel::$1" <<< "$seen" || fail "the Action's error '$1' did not reach the runner"
}

# 1. A canonical tree passes; the files other tools own are left alone.
make_repo canonical +left-alone data.json "$canonical_data" ./-x.json "$canonical_data" \
  sub/deep.json "$canonical_data"
attempt canonical X64 "$dist"
[ "$status" -eq 0 ] || fail "the Action failed on a canonical tree"
[[ $out == *"expected SHA-256"* && $out == *"6 / 6 passed"* ]] || fail "orvel did not check the three files"
[[ $out == *"passed over link.json: a symbolic link"* && $out == *"passed over out/ext.json: a symbolic link"* ]] ||
  fail "the links were not said to be passed over"
only_own_commands ""
unchanged canonical
say "ok: a canonical tree passes; the excluded files and the links stay as they are"

# An earlier step (npm install, say) changed an excluded file, and rewrote a file orvel is
# given in canonical form: neither is orvel's change, so neither fails the step.
printf '{"z": 1, "y": 2}' > "$scratch/canonical/web/package-lock.json"
printf '{\n  "a": 2\n}\n' > "$scratch/canonical/data.json"
attempt canonical X64 "$dist"
[ "$status" -eq 0 ] || fail "the Action blamed orvel for what an earlier step changed"
[[ $out != *"package-lock.json"* ]] || fail "the Action named an excluded file"
say "ok: files an earlier step changed are not blamed on orvel"

# 2. An unsorted tree fails with the diff, and its files are left fixed.
# Two of its names would be workflow commands at the start of a line: an annotation on another
# file, and a pause that would swallow the Action's own error.
warning='::warning file=README.md,line=1::x.json'
pause='::stop-commands::x.json'
make_repo unsorted +left-alone data.json "$unsorted_data" ./-x.json "$unsorted_data" \
  "$warning" "$unsorted_data" "$pause" "$unsorted_data"
attempt unsorted X64 "$dist"
[ "$status" -eq 1 ] || fail "the Action did not fail on an unsorted tree"
[[ $out == *"diff --git a/-x.json b/-x.json"* && $out == *"diff --git a/data.json b/data.json"* ]] ||
  fail "the diff was not shown"
only_own_commands "these files were not in canonical form"
for f in data.json -x.json "$warning" "$pause"; do is_canonical unsorted "$f"; done
unchanged unsorted
say "ok: an unsorted tree fails with the diff, -x.json included, and no file name starts a workflow command"

# 3. One flipped byte: refused before anything is unpacked or run.
make_repo flipped data.json "$unsorted_data"
attempt flipped X64 "$bad"
[ "$status" -ne 0 ] || fail "an archive with a flipped byte was accepted"
[[ $out == *"but this action expects"* && $out != *"orveller"* ]] || fail "the mismatch was not named, or orvel ran"
holds "$scratch/flipped/data.json" "$unsorted_data" || fail "a file was touched"
left_over=$(ls -A "$RUNNER_TEMP")
[ -z "$left_over" ] || fail "the download was left in RUNNER_TEMP"
say "ok: an archive with one byte flipped is refused and nothing runs"

# 4. ARM64: the aarch64 archive, its program run by qemu unless the kernel already hands
# aarch64 programs to it.
if [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
  say "the kernel runs aarch64 programs through qemu (binfmt_misc)"
else
  export ORVEL_EMULATOR
  ORVEL_EMULATOR=$(command -v qemu-aarch64-static)
fi
make_repo arm64 +left-alone data.json "$unsorted_data" ./-x.json "$unsorted_data"
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
if [ "$status" -ne 1 ] || [[ $out != *"JSONDecodeError"* || $out != *"a file (status 1)"* ]]; then
  fail "a broken file did not fail the step with the report and orvel's status"
fi
say "ok: fail-on-change=false passes a fixed tree and still fails on a broken file, with orvel's status"

# 6. A narrower excludes input lets orvel at package.json; a version without checksums is refused.
make_repo narrow package.json '{"b": 1, "a": 2}' tsconfig.json $'{\n  // comment\n}\n'
attempt narrow X64 "$dist" excludes=tsconfig.json
if [ "$status" -ne 1 ] || [[ $out != *"diff --git a/package.json"* ]]; then
  fail "the excludes input was not used"
fi
make_repo other data.json "$canonical_data"
attempt other X64 "$dist" version=9.9.9
if [ "$status" -eq 0 ] || [[ $out != *"holds no checksum for orvel-9.9.9-linux-x86_64.tar.gz"* ]]; then
  fail "a version without checksums was not refused"
fi
attempt other X64 "$dist" version="v$version"
if [ "$status" -eq 0 ] || [[ $out != *"drop the v (version: $version)"* ]]; then
  fail "a version written with a v was not refused with the way out"
fi
# A line excludes.sh refuses: the step stops before anything is fetched or run, rather than run
# without the excludes.
make_repo refused package.json '{"b": 1, "a": 2}'
attempt refused X64 "$dist" excludes=$'package.json\nmy data/'
if [ "$status" -eq 0 ] || [[ $out != *"cannot be used, so nothing was run: pattern 'my data/'"* ]] ||
  [[ $out == *"fetching"* ]]; then
  fail "an unusable excludes line did not stop the step first"
fi
holds "$scratch/refused/package.json" '{"b": 1, "a": 2}' || fail "package.json was rewritten"
say "ok: the excludes input is used; a version without checksums, a v version and an unusable excludes line are refused"

# 7. What a checkout can leave out: the files outside a sparse checkout's cone, Git LFS pointers
# (actions/checkout fetches no LFS content by default), a tracked file deleted since; and what
# an earlier step can put in the way: a link in place of a tracked file or of its directory.
# Each is passed over with a line saying so; with nothing left, "No files found." must not fail.
make_repo sparse docs/README.md "docs" conf/x.json "$unsorted_data"
git -C "$scratch/sparse" sparse-checkout set docs
[ ! -e "$scratch/sparse/conf/x.json" ] || fail "the sparse checkout left conf/x.json"
attempt sparse X64 "$dist"
if [ "$status" -ne 0 ] || [[ $out != *"outside the sparse checkout: 1 tracked JSON files"* ]]; then
  fail "a sparse checkout without JSON failed, or did not say what was passed over"
fi
make_repo absent data.json "$canonical_data" gone.json "$unsorted_data" \
  big.json $'version https://git-lfs.github.com/spec/v1\noid sha256:4d7a\nsize 12345\n' \
  swapped.json "$unsorted_data" conf/a.json "$unsorted_data"
rm "$scratch/absent/gone.json" "$scratch/absent/swapped.json"
ln -s "$scratch/outside.json" "$scratch/absent/swapped.json"
mkdir -p "$scratch/elsewhere"
printf '%s' "$unsorted_data" > "$scratch/elsewhere/a.json"
rm -r "$scratch/absent/conf"
ln -s "$scratch/elsewhere" "$scratch/absent/conf"
attempt absent X64 "$dist"
if [ "$status" -ne 0 ] || [[ $out != *"passed over gone.json: not a regular file in the working tree"* ]] ||
  [[ $out != *"passed over big.json: a Git LFS pointer"* || $out != *"2 / 2 passed"* ]] ||
  [[ $out != *"passed over swapped.json: not a regular"* || $out != *"passed over conf/a.json: not a regular"* ]]; then
  fail "a deleted file, an LFS pointer or a link put in the way was not passed over with a line saying so"
fi
holds "$scratch/outside.json" "$unsorted_data" || fail "the Action wrote through a link put in place of a file"
holds "$scratch/elsewhere/a.json" "$unsorted_data" || fail "the Action wrote through a link put in place of a directory"
say "ok: sparse checkouts, LFS pointers, deleted files and links put in the way are passed over, each said"

# 8. The README's recipes, run as written with this build's orvel on the PATH: the one for CI
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
  local script
  script=$(recipe "$which")
  (cd "$scratch/$name" && PATH="$scratch/bin:$PATH" bash -eo pipefail -c "$script") \
    > "$scratch/out" 2>&1 || status=$?
  out=$(cat "$scratch/out")
  sed 's/^/    /' "$scratch/out"
  echo "    (status $status)"
}
make_repo recipe +left-alone data.json "$unsorted_data" ./-x.json "$unsorted_data" \
  node_modules/m/x.json "$unsorted_data"
try_recipe recipe ci
if [ "$status" -ne 1 ] || [[ $out != *"diff --git a/-x.json"* ]]; then fail "the CI recipe did not fail with the diff"; fi
is_canonical recipe data.json
is_canonical recipe -x.json
unchanged recipe
holds "$scratch/recipe/node_modules/m/x.json" "$unsorted_data" || fail "the CI recipe went into node_modules"
make_repo nojson README.md "no JSON here"
try_recipe nojson ci
[ "$status" -eq 0 ] || fail "the CI recipe failed in a repository without JSON"
make_repo tree +left-alone data.json "$unsorted_data" ./-x.json "$unsorted_data"
mkdir -p "$scratch/tree/node_modules/m" "$scratch/tree/.git/x"
printf '%s' "$unsorted_data" > "$scratch/tree/node_modules/m/x.json"
printf '%s' "$unsorted_data" > "$scratch/tree/.git/x/y.json"
try_recipe tree find
[ "$status" -eq 0 ] || fail "the find recipe failed"
is_canonical tree data.json
is_canonical tree -x.json
unchanged tree
holds "$scratch/tree/node_modules/m/x.json" "$unsorted_data" || fail "the find recipe went into node_modules"
holds "$scratch/tree/.git/x/y.json" "$unsorted_data" || fail "the find recipe went into .git"
say "ok: the README's recipes fix -x.json, leave the excludes, links, node_modules and .git alone, and pass without JSON"

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
now=$(date +%s%N)
say "ok: every check passed in $(( (now - started) / 1000000 )) ms"
