#!/usr/bin/env bash
# Writes the sample files the registry checks run every installed orvel on into the folder DIR:
# one already canonical, one that is rewritten, one that does not decode.
#   samples.sh DIR
set -euo pipefail
mkdir -p "$1"
printf '{\n  "a": 1\n}\n' > "$1/good.json"
printf '{"item10": [1E5, -0], "item9": {"z": "caf\\u00e9", "a": {}}}' > "$1/messy.json"
printf '{"a": 1,}\n' > "$1/broken.json"
