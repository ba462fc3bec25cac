#!/usr/bin/env bash
# Proves the npm packages with npm itself, offline. A local registry (verdaccio, on 127.0.0.1
# only, with no upstream, started and stopped here) receives the three packages by `npm publish`.
# Then, each in a scratch folder: `npm install --save-dev orvel` records it and installs only the
# x64 package, whose binary is the release binary, and `npx orvel`, the orvel in .bin and an npm
# script on files leave the same files, standard output and error and status (0, 1 and 2) as the
# bare binary, with standard output a file, a pipe and a terminal (tmux); `npm install -g`,
# `npm install --ignore-scripts` and npm's linked layout work as well; `npm install --os=linux
# --cpu=arm64` picks the arm64 package, whose binary gives the same results under qemu.
# The launcher is the binary's own process: a name that is not UTF-8 and more than 128 KiB of
# arguments reach it as they are, a signal sent to the launcher ends the binary by that signal
# with nothing left running, and Ctrl-C stops a shell loop that calls it. Run by node, as Yarn's
# Plug'n'Play runs it, it finds the binary in the linked layout under --preserve-symlinks too, and
# a binary killed by a signal takes it down by the same signal. A machine without a binary gets
# the platforms that have one and status 1; the launcher is shellcheck clean as sh; packing again
# gives the same bytes. The time the launcher adds to a call is measured and printed.
#   check.sh DIST_DIR NPM_DIR     (make check-npm)
# Tools it lacks come from Debian (node, npm, qemu, tmux, shellcheck); npm 10.1 or later (for
# --os and --cpu) and verdaccio are installed from the npm registry into a cache outside the
# repository, ORVEL_CHECK_CACHE (~/.cache/orvel-check by default).
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

"$here/../ensure_packages.sh" node=nodejs npm=npm qemu-aarch64-static=qemu-user-static tmux=tmux \
  shellcheck=shellcheck dash=dash

mkdir -p "$cache"
# --os and --cpu came with npm 10.1; Debian 12's npm is 9.2.
npm_version=$(npm --version)
IFS=. read -r major minor _ <<< "$npm_version"
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
node_version=$(node --version)
npm_version=$(npm --version)
echo "npm check: node $node_version, npm $npm_version, verdaccio $verdaccio_version"

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

# shellcheck source=packaging/check_lib.sh
. "$here/../check_lib.sh"
tarballs=("$packs/orvel-linux-x64-$version.tgz" "$packs/orvel-linux-arm64-$version.tgz"
  "$packs/orvel-$version.tgz")
"$here/build.sh" "$dist" "$scratch/npm" > /dev/null 2>&1
same_again "$scratch/npm" "${tarballs[@]}"
for tarball in "${tarballs[@]}"; do
  show npm publish "$tarball"
done
# npm view NAME FIELD... with the JSON's white space taken out.
view() { local json; json=$(npm view "$@" --json); tr -d ' \n' <<< "$json"; }
got=$(view "orvel@$version" optionalDependencies)
[ "$got" = "{\"@orvel/linux-x64\":\"$version\",\"@orvel/linux-arm64\":\"$version\"}" ] ||
  fail "the registry does not have orvel@$version with its optional dependencies"
for pkg in orvel @orvel/linux-x64 @orvel/linux-arm64; do
  got=$(npm view "$pkg@$version" scripts libc)
  [ -z "$got" ] || fail "$pkg has install scripts or a libc field"
done
for cpu in x64 arm64; do
  got=$(view "@orvel/linux-$cpu@$version" os cpu)
  [ "$got" = "{\"os\":[\"linux\"],\"cpu\":[\"$cpu\"]}" ] || fail "@orvel/linux-$cpu does not name os linux, cpu $cpu"
done
echo "ok: published orvel, @orvel/linux-x64 and @orvel/linux-arm64 $version to $registry, no scripts"

# Runs ----------------------------------------------------------------------------------------
# The bare release binaries, against which every packaged one is compared, and the samples, with
# one more whose name is not UTF-8, which Node would decode and change.
release_binaries "$dist"
latin1=$(printf 'caf\351.json')
printf '{"b": 1, "a": 2}' > "$samples/$latin1"

# A project with orvel as a development dependency.
project=$scratch/project
mkdir -p "$project"
(cd "$project" && npm init -y > /dev/null && show npm install --save-dev orvel && show npm ls --all)
got=$(cd "$project" && npm pkg get devDependencies.orvel)
[ "$got" = "\"^$version\"" ] ||
  fail "npm install --save-dev did not record orvel in package.json"
{ [ -d "$project/node_modules/@orvel/linux-x64" ] && [ ! -e "$project/node_modules/@orvel/linux-arm64" ]; } ||
  fail "npm install did not pick @orvel/linux-x64 alone:" "$project/node_modules/@orvel/"*
installed=$project/node_modules/@orvel/linux-x64/bin/orvel
{ [ -x "$installed" ] && cmp "$installed" "$bare"; } || fail "the installed binary is not the release binary"
echo "ok: npm install --save-dev orvel installed @orvel/linux-x64 alone, with the release binary"
launcher=$project/node_modules/orvel/bin/orvel
shellcheck -s sh -o check-extra-masked-returns "$launcher" || fail "shellcheck finds the above in the launcher"
node --check "$launcher" || fail "node cannot read the launcher"
echo "ok: the launcher is shellcheck clean as sh and reads as JavaScript to node"

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
expect bin-latin1 file 0 "$latin1" good.json
packaged=(dash "$launcher")
expect dash-fail file 1 good.json messy.json broken.json
# As Yarn's Plug'n'Play runs a package's command.
packaged=(node "$launcher")
expect node-fail file 1 good.json messy.json broken.json

# An npm script whose glob the shell expands: the names reach the binary as the shell made them.
# The script goes back to the folder npm was called in, since npm runs it in the project's.
# shellcheck disable=SC2016 # for the shell that runs the script
(cd "$project" && npm pkg set 'scripts.fmt=cd "$INIT_CWD" && orvel *.json')
packaged=(npm run --silent fmt)
# shellcheck disable=SC2016 # for sh -c
bare_cmd=(sh -c '"$0" *.json' "$bare")
expect script-glob file 1
bare_cmd=("$bare")

# More arguments than npx can pass (it joins them into one shell command, which the kernel caps
# at 128 KiB): the launcher passes as many as the binary takes.
many=$scratch/many
mkdir -p "$many"
names=()
for i in $(seq 3000); do
  names+=("a-name-long-enough-that-three-thousand-of-them-pass-128-KiB-$i.json")
  printf '{"b": 1, "a": 2}' > "$many/${names[-1]}"
done
kept=$samples samples=$many
packaged=("$project/node_modules/.bin/orvel")
expect bin-many file 0 "${names[@]}"
samples=$kept

# Standard output a terminal: tmux runs each program in a 100-column pane whose bytes are logged
# by pipe-pane, and the two logs, each ending with the status, must be equal. Standard error goes
# to a file, since npm draws a progress spinner on a terminal before npx starts the launcher.
tmux_cmd=(tmux -S "$scratch/tmux.sock")
tty_run() {
  local name=$1 dir=$2
  shift 2
  rm -rf "$dir"
  mkdir -p "$dir"
  cp -R "$samples" "$dir/files"
  printf 'cd %q && tmux -S %q wait-for %q && %s 2> %q; echo "<status $?>"\n' "$dir/files" \
    "$scratch/tmux.sock" "$name" "$(printf '%q ' "$@")" "$dir/err" > "$dir/run.sh"
  "${tmux_cmd[@]}" new-session -d -s "$name" -x 100 -y 40 "bash '$dir/run.sh'; sleep 60"
  "${tmux_cmd[@]}" pipe-pane -t "$name" -o "cat > '$dir/tty'"
  "${tmux_cmd[@]}" wait-for -S "$name"
  local _
  for _ in $(seq 300); do
    grep -q '<status' "$dir/tty" 2> /dev/null && break
    sleep 0.1
  done
  grep -q '<status' "$dir/tty" || fail "$name: no status came back from the terminal"
  "${tmux_cmd[@]}" kill-session -t "$name"
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
{ sed 's/$/\r/' "$project/npx-fail/out"; printf '<status 1>\r\n'; } > "$scratch/file-report-on-tty"
cmp -s "$scratch/bare/tty/tty" "$scratch/file-report-on-tty" &&
  fail "the report in the terminal is the one for a file: orvel did not see the terminal"

# Signals, with a stand-in binary in a copy of the installed packages that says its process id
# through a FIFO and sleeps. Through .bin the launcher execs the binary, so the binary must run
# in the launcher's own process; run by node, it must pass each signal on and end by it, and a
# binary killed by a signal must end it by the same signal. Every signal is set to its default
# first (env --default-signal), since a job started with & ignores SIGINT.
signals=$scratch/signals
mkdir -p "$signals/node_modules/@orvel/linux-x64/bin" "$signals/node_modules/.bin"
cp -R "$project/node_modules/orvel" "$signals/node_modules/"
ln -s ../orvel/bin/orvel "$signals/node_modules/.bin/orvel"
launcher=$signals/node_modules/orvel/bin/orvel
stand_in=$signals/node_modules/@orvel/linux-x64/bin/orvel
printf '#!/bin/sh\nkill -TERM $$\n' > "$stand_in"
chmod 755 "$stand_in"
status=0
node "$launcher" good.json || status=$?
[ "$status" = 143 ] || fail "a binary killed by SIGTERM gave status $status through node, not 143"
echo "ok: a binary killed by SIGTERM ends the launcher run by node by SIGTERM too"
mkfifo "$signals/started"
exec 3<> "$signals/started"
printf '#!/bin/sh\necho $$ > "%s"\nexec sleep 30\n' "$signals/started" > "$stand_in"
for way in sh node; do
  for signal in INT TERM HUP USR1 USR2 ALRM; do
    # Node opens its debugger on SIGUSR1, which no script can prevent.
    [ "$way $signal" != 'node USR1' ] || continue
    if [ "$way" = sh ]; then
      env --default-signal "$signals/node_modules/.bin/orvel" good.json &
    else
      env --default-signal node "$launcher" good.json &
    fi
    pid=$!
    read -r -t 10 child <&3 || fail "the stand-in binary did not start"
    kill -s "$signal" "$pid"
    status=0
    wait "$pid" 2> /dev/null || status=$?
    number=$(kill -l "$signal")
    [ "$status" = $((128 + number)) ] || fail "SIG$signal sent to the launcher ($way) gave status $status"
    [ "$way" = node ] || [ "$child" = "$pid" ] ||
      fail "the binary ran in process $child, not in the launcher's process $pid"
    ! kill -0 "$child" 2> /dev/null || fail "SIG$signal sent to the launcher ($way) left the binary running"
  done
  if [ "$way" = sh ]; then sent='SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM'; else sent='the same less SIGUSR1'; fi
  echo "ok: $sent sent to the launcher ($way) end the binary by that signal, with nothing left running"
done

# Ctrl-C typed at a terminal while a shell loop calls the launcher must end the loop, as it does
# when the loop calls the binary itself: the shell stops only when its child died by SIGINT.
# shellcheck disable=SC2016 # for the loop's shell
printf '%s\n' 'log=$1' 'shift' 'for i in 1 2; do' '  "$@" good.json' '  echo "after call $i" >> "$log"' \
  'done' > "$signals/loop.sh"
ctrl_c() {
  local label=$1 log=$signals/$1.log _
  shift
  : > "$log"
  "${tmux_cmd[@]}" new-session -d -s "$label" -x 100 -y 40 -c "$signals" \
    "exec bash $(printf '%q ' "$signals/loop.sh" "$log" "$@")"
  read -r -t 10 _ <&3 || fail "$label: the stand-in binary did not start"
  "${tmux_cmd[@]}" send-keys -t "$label" C-c
  for _ in $(seq 100); do
    "${tmux_cmd[@]}" has-session -t "$label" 2> /dev/null || break
    [ ! -s "$log" ] || break
    sleep 0.1
  done
  if [ -s "$log" ] || "${tmux_cmd[@]}" has-session -t "$label" 2> /dev/null; then
    "${tmux_cmd[@]}" kill-session -t "$label" 2> /dev/null || true
    fail "$label: the loop ran on after Ctrl-C"
  fi
  echo "ok: $label: Ctrl-C ended the shell loop"
}
ctrl_c ctrl-c-bare "$stand_in"
ctrl_c ctrl-c-bin "$signals/node_modules/.bin/orvel"
exec 3<&-

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

# npm's linked layout, like pnpm's: the platform package sits beside orvel in the store, not in
# the project's node_modules, which node searches under --preserve-symlinks.
project=$scratch/linked
mkdir -p "$project"
(cd "$project" && npm init -y > /dev/null && show npm install --install-strategy=linked orvel)
[ ! -e "$project/node_modules/@orvel/linux-x64" ] ||
  fail "npm's linked layout put @orvel/linux-x64 into the project's node_modules"
packaged=("$project/node_modules/.bin/orvel")
expect linked-bin file 1 good.json messy.json broken.json
packaged=(node --preserve-symlinks --preserve-symlinks-main "$project/node_modules/orvel/bin/orvel")
expect linked-node-preserve-symlinks file 1 good.json messy.json broken.json

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
bare_cmd=("$bare")
expect arm64-fail file 1 good.json messy.json broken.json
expect arm64-usage file 2
for way in npx node; do
  status=0
  if [ "$way" = npx ]; then
    (cd "$project" && npx orvel good.json) 2> "$scratch/arm64-err" || status=$?
  else
    node "$project/node_modules/orvel/bin/orvel" good.json 2> "$scratch/arm64-err" || status=$?
  fi
  { [ "$status" = 1 ] && grep -q '^orvel: @orvel/linux-x64, which holds the binary for linux x64, is not' \
    "$scratch/arm64-err"; } || fail "the launcher ($way) without its package gave status $status:" "$(< "$scratch/arm64-err")"
done
echo "ok: without its platform package the launcher says so, status 1 (npx and node)"

# Machines for which no package exists. The shell part learns the machine from /proc (given
# another one here by a bind mount in a mount namespace of its own, when we may make one), or
# from uname where /proc does not say (a stand-in uname); the Node part from node's platform and
# arch.
elsewhere=$scratch/elsewhere
mkdir -p "$elsewhere"
printf '#!/bin/sh\necho "Darwin arm64"\n' > "$elsewhere/uname"
chmod 755 "$elsewhere/uname"
echo riscv64 > "$elsewhere/riscv64"
: > "$elsewhere/nothing"
bin=$scratch/project/node_modules/.bin/orvel
launcher=$scratch/project/node_modules/orvel/bin/orvel
ways=('darwin arm64' 'win32 x64' 'linux riscv64')
if unshare -m true 2> /dev/null; then
  ways+=('Linux riscv64' 'Darwin arm64')
else
  echo "npm check: skipped the shell part on other machines: no mount namespace (not root?)"
fi
for way in "${ways[@]}"; do
  status=0
  # shellcheck disable=SC2016 # for sh -c
  case $way in
    'Linux riscv64')
      unshare -m sh -c 'mount --bind "$1" /proc/sys/kernel/arch && exec "$2" good.json' sh \
        "$elsewhere/riscv64" "$bin" 2> "$elsewhere/err" || status=$? ;;
    'Darwin arm64')
      unshare -m sh -c 'mount --bind "$1" /proc/sys/kernel/arch && PATH=$3:$PATH exec "$2" good.json' sh \
        "$elsewhere/nothing" "$bin" "$elsewhere" 2> "$elsewhere/err" || status=$? ;;
    *)
      node -e "Object.defineProperty(process, 'platform', { value: '${way% *}' });
        Object.defineProperty(process, 'arch', { value: '${way#* }' }); require('$launcher');" \
        2> "$elsewhere/err" || status=$? ;;
  esac
  printf 'orvel: %s\n' "there is no orvel binary for $way." \
    'Binaries exist for Linux on x86-64 and on arm64 only, and the source builds on Linux only.' \
    > "$elsewhere/want"
  { [ "$status" = 1 ] && cmp -s "$elsewhere/want" "$elsewhere/err"; } ||
    fail "on $way the launcher gave status $status:" "$(< "$elsewhere/err")"
  echo "ok: on $way the launcher names the platforms that have binaries, status 1"
done

# What the launcher adds to a call: 200 calls on one small canonical file, through .bin and bare.
# Printed only: a bound would fail on a busy machine.
mkdir -p "$scratch/timing"
cp "$samples/good.json" "$scratch/timing/"
per_call() {
  local start end _
  start=$(date +%s%N)
  for _ in $(seq 200); do "$@" good.json > /dev/null; done
  end=$(date +%s%N)
  echo $(((end - start) / 200000))
}
bare_us=$(cd "$scratch/timing" && per_call "$bare")
bin_us=$(cd "$scratch/timing" && per_call "$scratch/project/node_modules/.bin/orvel")
echo "launcher: $((bin_us - bare_us)) us added a call (200 calls: bare ${bare_us} us, through .bin ${bin_us} us)"

echo "npm check: all passed in ${SECONDS}s"
