#!/usr/bin/env bash
# Makes sure what a build or check needs is there: each argument is WHAT=PACKAGE, where WHAT is
# a program on the PATH, an absolute path or glob for a package that installs no program, or
# py:MODULE for a module of Debian's Python. The Debian packages of what is missing are
# installed with apt-get when we are root (as on a fresh CI machine), without starting any
# service they bring; otherwise it names the packages to install and fails.
#   ensure_packages.sh aarch64-linux-gnu-g++=g++-aarch64-linux-gnu py:yaml=python3-yaml
set -euo pipefail

missing=()
for pair in "$@"; do
  what=${pair%%=*}
  package=${pair#*=}
  case $what in
    /*) compgen -G "$what" >/dev/null || missing+=("$package") ;;
    py:*) /usr/bin/python3 -c "import ${what#py:}" 2>/dev/null || missing+=("$package") ;;
    *) command -v "$what" >/dev/null || missing+=("$package") ;;
  esac
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  printf 'missing: install the Debian packages %s\n' "${missing[*]}" >&2
  exit 1
fi
printf 'installing %s with apt-get\n' "${missing[*]}"
# Debian's policy hook refuses every service start while it is there: a check that needs a
# server (sshd, say) runs its own, and nothing is left running after it.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  trap 'rm -f "$policy"' EXIT
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
