#!/usr/bin/env bash
# Writes into the folder DIR the files that the wiring (the pre-commit hooks, the GitHub Action,
# the README's recipes) must leave exactly as they are, for the checks of those channels:
#   left_alone.sh DIR
# Each is one that orvel would rewrite or refuse if it were run on it: a file of each kind in
# packaging/excludes.txt, at the depth its tool puts it, and files that look like JSON but do not
# end in .json, which no channel selects.
set -euo pipefail

dir=$1
mkdir -p "$dir"
put() {
  case $1 in */*) mkdir -p "$dir/${1%/*}" ;; esac
  printf '%s' "$2" > "$dir/$1"
}

# Order carries meaning.
put package.json $'{\n  "name": "p",\n  "exports": {\n    ".": {\n      "types": "./i.d.ts",\n      "import": "./i.mjs",\n      "default": "./i.cjs"\n    }\n  }\n}\n'
put composer.json $'{\n  "repositories": {\n    "private": {"type": "composer", "url": "https://b.example"},\n    "mirror": {"type": "composer", "url": "https://a.example"}\n  }\n}\n'
put src/App/Properties/launchSettings.json $'{"profiles": {"web": {"commandName": "Project"}, "api": {"commandName": "Project"}}}\n'
# Written back by their own tools in their own order.
put web/package-lock.json '{"b": 1, "a": 2}'
# Comments, which strict JSON does not allow.
put tsconfig.json $'{\n  // comments are allowed here\n  "compilerOptions": {"strict": true,},\n}\n'
put .vscode/settings.json $'{\n  "editor.tabSize": 2, // and here\n}\n'
put .devcontainer/python/devcontainer.json $'{\n  // one of several configurations\n  "image": "python"\n}\n'
put babel.config.json $'{\n  // JSON5\n  presets: ["@babel/preset-env"],\n}\n'
put deno.json $'{\n  // JSONC\n  "tasks": {"b": "x", "a": "y"}\n}\n'
put turbo.json $'{\n  // JSON5\n  "tasks": {"build": {}}\n}\n'
put renovate.json $'{\n  // JSONC\n  "extends": ["config:recommended"]\n}\n'
put appsettings.Development.json $'{\n  /* .NET skips comments */\n  "b": 1, "a": 2\n}\n'
# Named like JSON without the .json ending: JSON content out of order, which a selection by
# file type rather than by name would rewrite.
for name in .babelrc .jshintrc map.geojson data.jsonld UPPER.JSON; do
  put "$name" '{"b": 1, "a": 2}'
done
