# shellcheck shell=bash
# Sourced by the release scripts (dist.sh, deb/build.sh).
# strip_program BUILD_DIR OUT: writes BUILD_DIR's orvel, stripped, to OUT, with the strip that
# CMake found for that build's own toolchain (a cross one for arm64).
strip_program() {
  local strip
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$1/CMakeCache.txt")
  [ -n "$strip" ] || { echo "${0##*/}: no CMAKE_STRIP in $1/CMakeCache.txt" >&2; exit 1; }
  "$strip" -o "$2" "$1/orvel"
}
