#!/usr/bin/env bash
# Proves the npm packages with npm itself, offline. A local registry (verdaccio, on 127.0.0.1
# only, with no upstream, started and stopped here) receives the three packages by `npm publish`.
# Then, each in a scratch folder: `npm install --save-dev orvel` records it and installs only the
# x64 package, whose binary is the release binary, and `npx orvel` on files leaves the same files,
# standard output and error and status (0, 1 and 2) as the bare binary, with standard output a
# file, a pipe and a terminal (tmux); `npm install -g` and `npm install --ignore-scripts` work as
# well; `npm install --os=linux --cpu=arm64` picks the arm64 package, whose binary gives the same
# results under qemu; a binary killed by SIGTERM, or the launcher sent SIGTERM, gives status 143;
# a machine without a binary gets the list of platforms and status 1. Packing again gives the
# same bytes.
#   check.sh DIST_DIR NPM_DIR     (make check-npm)
# Tools it lacks come from Debian (node, npm, qemu, tmux); npm 10.1 or later (for --os and --cpu)
# and verdaccio are installed from the npm registry into a cache outside the repository,
# ORVEL_CHECK_CACHE (~/.cache/orvel-check by default).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
version=$("$here/../version.sh")
dist=$(cd "$1" && pwd)
packs=$(cd "$2" && pwd)
cache=${ORVEL_CHECK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvel-check}
# The newest verdaccio that still runs on Debian 12's Node 18.
verdaccio_version=6.5.2

fail() { echo "npm check: FAILED: $*" >&2; exit 1; }
# show CMD...: runs CMD after printing it, so that the log reads as a transcript.
show() { echo "\$ $*"; "$@"; }

"$here/../ensure_packages.sh" node=nodejs npm=npm qemu-aarch64-static=qemu-user-static tmux=tmux

mkdir -p "$cache"
# --os and --cpu came with npm 10.1; Debian 12's npm is 9.2.
IFS=. read -r major minor _ <<< "$(npm --version)"
if [ "$major" -lt 10 ] || { [ "$major" -eq 10 ] && [ "$minor" -lt 1 ]; }; then
  if [ ! -x "$cache/npm10/node_modules/.bin/npm" ]; then
    npm install --prefix "$cache/npm10" --no-audit --no-fund --loglevel=error npm@10
  fi
  PATH=$cache/npm10/node_modules/.bin:$PATH
fi
verdaccio=$cache/verdaccio-$verdaccio_version/node_modules/.bin/verdaccio
if [ ! -x "$verdaccio" ]; then
  npm install --prefix "$cache/verdaccio-$verdaccio_version" --no-audit --no-fund \
    --loglevel=error "verdaccio@$verdaccio_version"
fi
echo "npm check: node $(node --version), npm $(npm --version), verdaccio $verdaccio_version"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/registry-npm-check.XXXXXX")
registry_pid=
cleanup() {
  if [ -n "$registry_pid" ]; then kill "$registry_pid" 2> /dev/null || true; wait "$registry_pid" || true; fi
  tmux -S "$scratch/tmux.sock" kill-server 2> /dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# The registry --------------------------------------------------------------------------------
port=$(node -e "const s = require('net').createServer().listen(0, '127.0.0.1', () => {
  console.log(s.address().port); s.close(); });")
cat > "$scratch/verdaccio.yaml" << EOF
storage: $scratch/storage
auth:
  htpasswd:
    file: $scratch/htpasswd
uplinks: {}
packages:
  '**':
    access: \$all
    publish: \$authenticated
listen: 127.0.0.1:$port
web:
  enable: false
log: { type: stdout, format: pretty, level: warn }
EOF
"$verdaccio" --config "$scratch/verdaccio.yaml" > "$scratch/verdaccio.log" 2>&1 &
registry_pid=$!
registry=http://127.0.0.1:$port/
for _ in $(seq 300); do
  kill -0 "$registry_pid" 2> /dev/null || { cat "$scratch/verdaccio.log" >&2; fail "verdaccio exited"; }
  (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null && break
  sleep 0.1
done
(exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null || fail "verdaccio did not listen on $registry"

# A user of the scratch registry, for publishing; its token goes into a scratch npmrc that is
# the only configuration npm reads from here on.
token=$(node -e "
  const body = JSON.stringify({ name: 'ci', password: 'ci-password' });
  const req = require('http').request('${registry}-/user/org.couchdb.user:ci',
    { method: 'PUT', headers: { 'content-type': 'application/json' } }, (res) => {
      let text = ''; res.on('data', (d) => { text += d; });
      res.on('end', () => { console.log(JSON.parse(text).token); });
    });
  req.end(body);")
{ [ -n "$token" ] && [ "$token" != undefined ]; } || fail "no token from $registry"
printf 'registry=%s\n//127.0.0.1:%s/:_authToken=%s\n' "$registry" "$port" "$token" > "$scratch/npmrc"
export NPM_CONFIG_USERCONFIG=$scratch/npmrc NPM_CONFIG_GLOBALCONFIG=$scratch/npmrc-global
export NPM_CONFIG_CACHE=$scratch/npm-cache NPM_CONFIG_AUDIT=false NPM_CONFIG_FUND=false
export NPM_CONFIG_UPDATE_NOTIFIER=false NPM_CONFIG_LOGLEVEL=warn
touch "$scratch/npmrc-global"

tarballs=("orvel-linux-x64-$version.tgz" "orvel-linux-arm64-$version.tgz" "orvel-$version.tgz")
"$here/build.sh" "$dist" "$scratch/again" > /dev/null 2>&1
for tarball in "${tarballs[@]}"; do
  cmp "$packs/$tarball" "$scratch/again/$tarball" || fail "a second build of $tarball differs"
done
echo "ok: a second build gives the same npm packages, byte for byte"
for tarball in "${tarballs[@]}"; do
  show npm publish "$packs/$tarball"
done
[ "$(npm view "orvel@$version" optionalDependencies --json | tr -d ' \n')" = \
  "{\"@orvel/linux-x64\":\"$version\",\"@orvel/linux-arm64\":\"$version\"}" ] ||
  fail "the registry does not have orvel@$version with its optional dependencies"
for pkg in orvel @orvel/linux-x64 @orvel/linux-arm64; do
  [ -z "$(npm view "$pkg@$version" scripts libc)" ] || fail "$pkg has install scripts or a libc field"
done
for cpu in x64 arm64; do
  [ "$(npm view "@orvel/linux-$cpu@$version" os cpu --json | tr -d ' \n')" = \
    "{\"os\":[\"linux\"],\"cpu\":[\"$cpu\"]}" ] || fail "@orvel/linux-$cpu does not name os linux, cpu $cpu"
done
echo "ok: published orvel, @orvel/linux-x64 and @orvel/linux-arm64 $version to $registry, no scripts"

# Runs ----------------------------------------------------------------------------------------
# The bare release binaries, against which every packaged one is compared.
for arch in x86_64 aarch64; do
  tar -xzf "$dist/orvel-$version-linux-$arch.tar.gz" -C "$scratch" "orvel-$version-linux-$arch/orvel"
done
bare=$scratch/orvel-$version-linux-x86_64/orvel
bare_arm64=$scratch/orvel-$version-linux-aarch64/orvel

samples=$scratch/samples
"$here/../samples.sh" "$samples"

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
    (cd "$dir/files" && "$@" 2> "$dir/err" | cat > "$dir/out"; exit "${PIPESTATUS[0]}") || status=$?
  fi
  echo "$status" > "$dir/status"
}

# expect LABEL MODE STATUS ARGS...: the packaged orvel (the command in $packaged, run inside the
# folder $project) and the bare binary, each on its own copy of the samples, must end with
# STATUS and leave the same files, standard output and standard error.
expect() {
  local label=$1 mode=$2 want=$3
  shift 3
  run "$scratch/bare/$label" "$mode" "$bare" "$@"
  run "$project/$label" "$mode" "${packaged[@]}" "$@"
  local f
  for f in status out err; do
    cmp "$scratch/bare/$label/$f" "$project/$label/$f" || fail "$label: $f differs from the bare binary's"
  done
  diff -r "$scratch/bare/$label/files" "$project/$label/files" > /dev/null ||
    fail "$label: the files differ from the bare binary's"
  [ "$(cat "$project/$label/status")" = "$want" ] ||
    fail "$label: status $(cat "$project/$label/status"), not $want"
  echo "ok: $label: status $want, same files, output and error as the bare binary ($mode)"
}

# A project with orvel as a development dependency.
project=$scratch/project
mkdir -p "$project"
(cd "$project" && npm init -y > /dev/null && show npm install --save-dev orvel && show npm ls --all)
[ "$(cd "$project" && npm pkg get devDependencies.orvel)" = "\"^$version\"" ] ||
  fail "npm install --save-dev did not record orvel in package.json"
{ [ -d "$project/node_modules/@orvel/linux-x64" ] && [ ! -e "$project/node_modules/@orvel/linux-arm64" ]; } ||
  fail "npm install did not pick @orvel/linux-x64 alone: $(ls "$project/node_modules/@orvel")"
installed=$project/node_modules/@orvel/linux-x64/bin/orvel
{ [ -x "$installed" ] && cmp "$installed" "$bare"; } || fail "the installed binary is not the release binary"
echo "ok: npm install --save-dev orvel installed @orvel/linux-x64 alone, with the release binary"

packaged=(npx orvel)
expect npx-pass file 0 good.json messy.json
expect npx-fail file 1 good.json messy.json broken.json
echo "npx orvel good.json messy.json broken.json wrote:"
cat "$project/npx-fail/out"
expect npx-dir pipe 1 .
expect npx-none file 1 missing.json
expect npx-usage file 2
expect npx-option pipe 2 --help good.json
packaged=("$project/node_modules/.bin/orvel")
expect bin-fail pipe 1 .

# Standard output a terminal: tmux runs each program in a 100-column pane whose bytes are logged
# by pipe-pane, and the two logs, each ending with the status, must be equal. Standard error goes
# to a file, since npm draws a progress spinner on a terminal before npx starts the launcher.
tty_run() {
  local name=$1 dir=$2
  shift 2
  rm -rf "$dir"
  mkdir -p "$dir"
  cp -R "$samples" "$dir/files"
  printf 'cd %q && tmux -S %q wait-for %q && %s 2> %q; echo "<status $?>"\n' "$dir/files" \
    "$scratch/tmux.sock" "$name" "$(printf '%q ' "$@")" "$dir/err" > "$dir/run.sh"
  tmux -S "$scratch/tmux.sock" new-session -d -s "$name" -x 100 -y 40 "bash '$dir/run.sh'; sleep 60"
  tmux -S "$scratch/tmux.sock" pipe-pane -t "$name" -o "cat > '$dir/tty'"
  tmux -S "$scratch/tmux.sock" wait-for -S "$name"
  local _
  for _ in $(seq 300); do
    grep -q '<status' "$dir/tty" 2> /dev/null && break
    sleep 0.1
  done
  grep -q '<status' "$dir/tty" || fail "$name: no status came back from the terminal"
  tmux -S "$scratch/tmux.sock" kill-session -t "$name"
}
tty_run bare-tty "$scratch/bare/tty" "$bare" good.json messy.json broken.json
for way in npx bin; do
  if [ "$way" = npx ]; then packaged=(npx orvel); else packaged=("$project/node_modules/.bin/orvel"); fi
  tty_run "$way-tty" "$project/$way-tty" "${packaged[@]}" good.json messy.json broken.json
  for f in tty err; do
    cmp "$scratch/bare/tty/$f" "$project/$way-tty/$f" || fail "$way-tty: $f differs from the bare binary's"
  done
  grep -q '<status 1>' "$project/$way-tty/tty" || fail "$way-tty: status is not 1"
  echo "ok: $way-tty: status 1, the terminal got the bare binary's bytes"
done
# A report for a terminal is laid out for its width, unlike the one written to a file.
cmp -s "$scratch/bare/tty/tty" <(sed 's/$/\r/' "$project/npx-fail/out"; printf '<status 1>\r\n') &&
  fail "the report in the terminal is the one for a file: orvel did not see the terminal"

# Signals: a binary killed by SIGTERM, and SIGTERM sent to the launcher alone while the binary
# runs, both end the launcher with 128 + 15. A stand-in binary does each deterministically.
signals=$scratch/signals
mkdir -p "$signals/node_modules/@orvel/linux-x64/bin"
cp -R "$project/node_modules/orvel" "$signals/node_modules/"
launcher=$signals/node_modules/orvel/bin/orvel.js
stand_in=$signals/node_modules/@orvel/linux-x64/bin/orvel
printf '#!/bin/sh\nkill -TERM $$\n' > "$stand_in"
chmod 755 "$stand_in"
status=0
node "$launcher" good.json || status=$?
[ "$status" = 143 ] || fail "a binary killed by SIGTERM gave status $status, not 143"
echo "ok: a binary killed by SIGTERM gives status 143 through the launcher"
mkfifo "$signals/started"
printf '#!/bin/sh\necho started > "%s"\nexec sleep 30\n' "$signals/started" > "$stand_in"
node "$launcher" good.json &
launcher_pid=$!
read -r _ < "$signals/started"
kill -TERM "$launcher_pid"
status=0
wait "$launcher_pid" || status=$?
[ "$status" = 143 ] || fail "SIGTERM sent to the launcher gave status $status, not 143"
echo "ok: SIGTERM sent to the launcher reaches the binary: status 143"

# Global install into a scratch prefix.
show npm install -g --prefix "$scratch/global" orvel
project=$scratch/global-runs
packaged=("$scratch/global/bin/orvel")
expect global-fail file 1 .

# No install scripts run, and none is needed.
project=$scratch/no-scripts
mkdir -p "$project"
(cd "$project" && npm init -y > /dev/null && show npm install --ignore-scripts orvel)
packaged=(npx orvel)
expect no-scripts-pass pipe 0 good.json messy.json

# The arm64 package, chosen for another machine, runs under qemu; on this machine its launcher
# says that the x64 package is missing.
project=$scratch/arm64
mkdir -p "$project"
(cd "$project" && npm init -y > /dev/null && show npm install --os=linux --cpu=arm64 orvel && show npm ls --all)
{ [ -d "$project/node_modules/@orvel/linux-arm64" ] && [ ! -e "$project/node_modules/@orvel/linux-x64" ]; } ||
  fail "npm install --os=linux --cpu=arm64 did not pick @orvel/linux-arm64 alone"
installed=$project/node_modules/@orvel/linux-arm64/bin/orvel
{ [ -x "$installed" ] && cmp "$installed" "$bare_arm64"; } || fail "the arm64 binary is not the release binary"
packaged=(qemu-aarch64-static "$installed")
expect arm64-fail file 1 good.json messy.json broken.json
expect arm64-usage file 2
status=0
(cd "$project" && npx orvel good.json) 2> "$scratch/arm64-err" || status=$?
{ [ "$status" = 1 ] && grep -q '^orvel: @orvel/linux-x64, which holds the binary for linux x64, is not' \
  "$scratch/arm64-err"; } || fail "the launcher without its package gave status $status: $(cat "$scratch/arm64-err")"
echo "ok: without its platform package the launcher says so, status 1"

# A machine for which no package exists.
status=0
node -e "Object.defineProperty(process, 'arch', { value: 'riscv64' }); require('$launcher');" \
  2> "$scratch/riscv-err" || status=$?
{ [ "$status" = 1 ] && grep -q '^orvel: Binaries exist for: linux x64, linux arm64' "$scratch/riscv-err"; } ||
  fail "an unknown platform gave status $status: $(cat "$scratch/riscv-err")"
echo "ok: on linux riscv64 the launcher names the platforms that have binaries, status 1"

echo "npm check: all passed in ${SECONDS}s"
