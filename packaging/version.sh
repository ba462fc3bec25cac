#!/usr/bin/env bash
# Prints orvel's version, which is written once, in project() in CMakeLists.txt, for the scripts
# that package a release outside CMake (registry packages, the pre-commit mirror, the Action).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(orvel VERSION \([0-9][0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "version.sh: no version in $root/CMakeLists.txt" >&2; exit 1; }
printf '%s\n' "$version"
