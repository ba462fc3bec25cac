#!/usr/bin/env bash
# Makes sure the programs a build or check needs are there: each argument is PROGRAM=PACKAGE
# (or /PATH=PACKAGE for a package that installs no program), and the Debian packages of the missing programs are installed with apt-get when we are root
# (as on a fresh CI machine). Otherwise it names the packages to install and fails.
#   ensure_packages.sh aarch64-linux-gnu-g++=g++-aarch64-linux-gnu qemu-aarch64-static=qemu-user-static
set -euo pipefail

missing=()
for pair in "$@"; do
  program=${pair%%=*}
  package=${pair#*=}
  case $program in
    /*) [ -e "$program" ] || missing+=("$package") ;;
    *) command -v "$program" >/dev/null || missing+=("$package") ;;
  esac
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  printf 'missing: install the Debian packages %s\n' "${missing[*]}" >&2
  exit 1
fi
printf 'installing %s with apt-get\n' "${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
