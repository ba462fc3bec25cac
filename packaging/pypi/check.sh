#!/usr/bin/env bash
# Proves the wheels with pip and pipx themselves, offline (no index, only the wheel folder):
# `pip install --no-index --find-links` puts orvel into a fresh virtual environment, where bin/orvel
# is the x86-64 release binary byte for byte and gives the bare binary's report, files and status;
# `pip uninstall` then leaves the environment's files exactly as they were before; for an aarch64
# machine pip picks the aarch64 wheel, whose binary is the aarch64 release binary and runs under
# qemu, and for a musl machine the musllinux tag; `pipx install` puts a working orvel on its PATH
# and `pipx uninstall` takes it away; each wheel's RECORD matches its files (`wheel unpack`
# checks every hash); building the wheels again gives the same bytes.
#   check.sh DIST_DIR WHEEL_DIR     (make check-wheels)
# Tools it lacks come from Debian: python3-venv, python3-wheel, pipx, qemu-user-static.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
version=$("$here/../version.sh")
dist=$(cd "$1" && pwd)
wheels=$(cd "$2" && pwd)
# Debian's Python, whatever else is first on the PATH: the one pipx and python3-wheel belong to.
py=/usr/bin/python3

fail() { echo "pypi check: FAILED: $*" >&2; exit 1; }

"$(dirname "$0")/../ensure_packages.sh" py:ensurepip=python3-venv py:wheel=python3-wheel pipx=pipx \
  qemu-aarch64-static=qemu-user-static

scratch=$(mktemp -d "${TMPDIR:-/tmp}/registry-pypi-check.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# Nothing comes from an index, and pip's cache stays out of the way.
export PIP_NO_INDEX=1 PIP_FIND_LINKS=$wheels PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1
pip_version=$("$py" -m pip --version 2> /dev/null) || pip_version='pip (in the venv)'
pipx_version=$(pipx --version)
echo "pypi check: $pip_version, pipx $pipx_version"

wheel_x86_64=$wheels/orvel-$version-py3-none-manylinux_2_17_x86_64.manylinux2014_x86_64.musllinux_1_1_x86_64.whl
wheel_aarch64=$wheels/orvel-$version-py3-none-manylinux_2_17_aarch64.manylinux2014_aarch64.musllinux_1_1_aarch64.whl
# shellcheck source=packaging/check_lib.sh
. "$here/../check_lib.sh"
release_binaries "$dist"

# The wheels are well formed and reproducible.
for whl in "$wheel_x86_64" "$wheel_aarch64"; do
  [ -f "$whl" ] || fail "no $whl"
  "$py" -m wheel unpack --dest "$scratch/unpacked" "$whl" > /dev/null ||
    fail "wheel unpack refuses $(basename "$whl")"
done
echo "ok: wheel unpack finds every hash in RECORD right"
python3 "$here/build_wheels.py" "$dist" "$scratch/wheels" > /dev/null
same_again "$scratch/wheels" "$wheel_x86_64" "$wheel_aarch64"

# like_bare LABEL CMD...: CMD must give the bare binary's files, output, error and status on
# the three samples.
like_bare() {
  packaged=("${@:2}")
  expect "$1" file 1 good.json messy.json broken.json
}

# pip in a fresh virtual environment.
venv=$scratch/venv
"$py" -m venv "$venv"
"$venv/bin/pip" --version > /dev/null  # pip's own first run, before the listing is taken
(cd "$venv" && find . | LC_ALL=C sort) > "$scratch/venv-before"
"$venv/bin/pip" install orvel
"$venv/bin/pip" show --files orvel
cmp "$venv/bin/orvel" "$bare" || fail "the installed bin/orvel is not the release binary"
[ -x "$venv/bin/orvel" ] || fail "the installed bin/orvel is not executable"
echo "ok: pip installed bin/orvel, the release binary byte for byte"
like_bare pip "$venv/bin/orvel"
"$venv/bin/pip" uninstall -y orvel
(cd "$venv" && find . | LC_ALL=C sort) > "$scratch/venv-after"
diff "$scratch/venv-before" "$scratch/venv-after" || fail "pip uninstall left the files above behind"
echo "ok: pip uninstall left the environment as it was"

# Other machines: pip chooses by tag. --target keeps the foreign binary out of any environment.
"$venv/bin/pip" install --quiet --platform manylinux2014_aarch64 --only-binary=:all: \
  --target "$scratch/aarch64-target" orvel
cmp "$scratch/aarch64-target/bin/orvel" "$bare_arm64" || fail "pip did not install the aarch64 release binary"
like_bare aarch64 qemu-aarch64-static "$scratch/aarch64-target/bin/orvel"
"$venv/bin/pip" download --quiet --platform musllinux_1_1_x86_64 --only-binary=:all: \
  --dest "$scratch/musl" orvel
[ -f "$scratch/musl/$(basename "$wheel_x86_64")" ] || fail "pip found no wheel for musl on x86_64"
echo "ok: pip takes the x86_64 wheel for a musl machine (musllinux_1_1)"

# pipx, with its home and bin folder in the scratch folder.
# pipx refreshes pip, setuptools and wheel in its shared environment: Debian's copies of them
# (python3-pip-whl, which python3-venv brings) let it do that offline.
export PIPX_HOME=$scratch/pipx PIPX_BIN_DIR=$scratch/pipx-bin
PIP_FIND_LINKS="$wheels /usr/share/python-wheels" pipx install orvel
cmp "$PIPX_BIN_DIR/orvel" "$bare" || fail "pipx did not put the release binary on its PATH"
like_bare pipx "$PIPX_BIN_DIR/orvel"
pipx uninstall orvel
{ [ ! -e "$PIPX_BIN_DIR/orvel" ] && [ ! -e "$PIPX_HOME/venvs/orvel" ]; } || fail "pipx uninstall left orvel behind"
echo "ok: pipx uninstall removed orvel"

echo "pypi check: all passed in ${SECONDS}s"
