#!/usr/bin/env bash
# Prints the time stamp every file of a release carries: SOURCE_DATE_EPOCH when the caller sets
# it, else the time of the checked-out commit, so that two builds of one commit agree byte for
# byte. Fails outside a git checkout without SOURCE_DATE_EPOCH rather than use the clock.
set -euo pipefail
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
  printf '%s\n' "$SOURCE_DATE_EPOCH"
  exit 0
fi
root=$(cd "$(dirname "$0")/.." && pwd)
git -C "$root" log -1 --format=%ct 2>/dev/null ||
  { echo "source_date_epoch.sh: not a git checkout; set SOURCE_DATE_EPOCH" >&2; exit 1; }
