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

work=$(mktemp -d "${RUNNER_TEMP:-/tmp}/orvel.XXXXXXXX")
trap 'rm -rf "$work"' EXIT
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

git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
  error "$(pwd) is not a git checkout: run actions/checkout before this action"

# The excludes become git pathspecs; names git lists that begin with "-" are handed over as
# ./NAME, since orvel refuses any argument that begins with "-".
mapfile -t pathspecs < <(printf '%s\n' "${ORVEL_EXCLUDES:-}" | "$action_dir/packaging/excludes.sh" pathspecs -)
status=0
git ls-files -z -- '*.json' ${pathspecs[@]+"${pathspecs[@]}"} > "$work/files"
if [ ! -s "$work/files" ]; then
  echo "orvel: no tracked JSON files outside the excludes"
else
  echo "orvel: tracked JSON files outside the excludes: $(tr -cd '\0' < "$work/files" | wc -c)"
  sed -z 's|^-|./-|' "$work/files" | xargs -0r "${orvel[@]}" || status=$?
  [ "$status" -eq 0 ] || echo "::error title=orvel::orvel could not read, decode or write a file (status $status); see its report above"
fi

if [ "$fail_on_change" -eq 1 ]; then
  if ! git --no-pager diff --exit-code --stat --patch; then
    echo "::error title=orvel::these files were not in canonical form; run orvel on them and commit the result"
    status=1
  fi
fi
exit "$status"
