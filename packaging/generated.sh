#!/usr/bin/env bash
# Writes, or checks, the parts of the wiring files that are made from packaging/excludes.txt and
# the version in CMakeLists.txt, so the hooks, the Action and the README cannot drift apart:
#   generated.sh write   rewrite the blocks in place (make generated)
#   generated.sh check   fail, showing the diff, when a block differs from what write would make
# A block is the lines between one holding `begin generated: NAME` and the next holding
# `end generated`; its text is indented like the begin line.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
files=(.pre-commit-hooks.yaml packaging/pre-commit-mirror/.pre-commit-hooks.yaml action.yml README.md)
version=$("$root/packaging/version.sh")

fail() { printf 'generated.sh: %s\n' "$*" >&2; exit 1; }

# Each form of the excludes is made once, up front: a list that excludes.sh refuses stops
# everything here, where a failure inside a block's output would go unseen.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
forms=$scratch/forms
mkdir "$forms"
for form in patterns pathspecs regex find-prune find-skip; do
  "$root/packaging/excludes.sh" "$form" "$root/packaging/excludes.txt" > "$forms/$form" ||
    fail "packaging/excludes.txt cannot be turned into $form"
done

# Prints the words given as lines of at most about 90 columns, each but the last ending in " \",
# the first starting with FIRST and the others indented by two spaces.
wrap() {
  local first=$1 line="" word
  shift
  line=$first
  for word in "$@"; do
    if [ -n "$line" ] && [ $((${#line} + 1 + ${#word})) -gt 90 ] && [ "$line" != "$first" ]; then
      printf '%s \\\n' "$line"
      line="  $word"
    elif [ -z "$line" ]; then
      line=$word
    else
      line="$line $word"
    fi
  done
  printf '%s\n' "$line"
}

# The rows of the README's table: the patterns under each reason in excludes.txt. A comment
# paragraph is a reason when patterns follow it directly; the file's header is not.
excludes_table() {
  printf '| Left alone | Why |\n|---|---|\n'
  awk '
    function flush() { if (pats != "") printf "| %s | %s |\n", pats, why; pats = ""; why = "" }
    /^#/ { if (pats != "") flush(); sub(/^# ?/, ""); why = (why == "" ? $0 : why " " $0); next }
    /^[[:space:]]*$/ { flush(); why = ""; next }
    { sub(/[[:space:]]+$/, ""); pats = (pats == "" ? "`" $0 "`" : pats ", `" $0 "`") }
    END { flush() }
  ' "$root/packaging/excludes.txt"
}

block() {
  case $1 in
    hook)
      cat <<'EOF'
# The names the Action and the README's recipes take: ending in .json, case and all. The
# default types, [file], leave symbolic links out.
files: \.json$
# pre-commit hands over names as git has them, and orvel refuses any argument that begins
# with "-" (it takes no options): such a name is passed as ./NAME, the same file. Each name is
# looked at once; only when one begins with "-" is the command rebuilt, as "${N}" references
# for eval (the names themselves are never parsed), written a hundred at a time, so the time
# stays linear in the names.
entry: sh -c 'for f do case $f in -*) eval "exec orvel $(i=0 c=; for f do i=$((i + 1)); case $f in -*) c="$c ./\"\${$i}\"";; *) c="$c \"\${$i}\"";; esac; case $i in *00) printf %s "$c"; c=;; esac; done; printf %s "$c")";; esac; done; exec orvel "$@"' orvel
# JSON that other tools own or read with comments (packaging/excludes.txt in orvel's
# repository says why, for each). An exclude of your own in .pre-commit-config.yaml replaces it.
exclude: |
EOF
      sed 's/^/  /' "$forms/regex" ;;
    action-version)
      printf "default: '%s'\n" "$version" ;;
    action-excludes)
      printf 'default: |\n'
      sed 's/^/  /' "$forms/patterns" ;;
    readme-precommit)
      printf '```yaml\n'
      printf 'repos:\n  - repo: https://github.com/orvel-json/orvel-pre-commit\n'
      printf '    rev: v%s\n    hooks:\n      - id: orvel\n```\n' "$version" ;;
    readme-action)
      printf '```yaml\n'
      printf -- '- uses: actions/checkout@v4\n- uses: orvel-json/orvel@v%s\n' "$version"
      printf '```\n' ;;
    readme-excludes)
      excludes_table ;;
    readme-precommit-exclude)
      printf '```yaml\n'
      printf '      - id: orvel\n        exclude: |\n'
      sed 's/^/          /' "$forms/regex"
      printf '```\n' ;;
    readme-ci)
      # --stage puts git's mode before each name, so that only regular files (mode 100644 or
      # 100755) go on: a symbolic link is passed over, as in pre-commit and the find recipe.
      local pathspecs=() p
      while IFS= read -r p; do pathspecs+=("'$p'"); done < "$forms/pathspecs"
      printf '```sh\n'
      wrap "git ls-files -z --stage -- '*.json'" "${pathspecs[@]}" "|" \
        "sed -z -n '/^100/{s/^[0-9]* [0-9a-f]* [0-3]\\t//;s|^-|./-|;p}'" "|" "xargs -0r orvel"
      printf 'git diff --exit-code    # status 1, with the diff, when orvel rewrote a file\n```\n' ;;
    readme-find)
      # Words that belong together (a test and its pattern) are one word here, so that a line
      # break never falls between them.
      local prune="-name .git" skip=() t
      while IFS= read -r t; do prune="$prune -o $t"; done < "$forms/find-prune"
      mapfile -t skip < "$forms/find-skip"
      printf '```sh\n'
      wrap "find . \\( $prune \\) -prune" "-o -type f -name '*.json'" "${skip[@]}" \
        "-print0 | xargs -0r orvel"
      printf '```\n' ;;
    *) return 1 ;;
  esac
}

# Rewrites the blocks of one file under DIR.
write_file() {
  local dir=$1 file=$2 out name indent n=0
  out=$(mktemp)
  # The file is read on descriptor 3, so nothing run for a block can read from it.
  while IFS= read -r line <&3 || [ -n "$line" ]; do
    if [[ $line == *"begin generated: "* ]]; then
      name=${line##*begin generated: }
      name=${name%% *}
      indent=${line%%[![:space:]]*}
      printf '%s\n' "$line" >> "$out"
      block "$name" > "$out.block" || { rm -f "$out" "$out.block"; fail "$file: unknown block '$name'"; }
      sed "s/^/$indent/; s/^[[:space:]]*\$//" "$out.block" >> "$out"
      rm -f "$out.block"
      while IFS= read -r line <&3; do [[ $line == *"end generated"* ]] && break; done
      [[ $line == *"end generated"* ]] || { rm -f "$out"; fail "$file: block '$name' has no end"; }
      n=$((n + 1))
    fi
    printf '%s\n' "$line" >> "$out"
  done 3< "$dir/$file"
  [ "$n" -gt 0 ] || { rm -f "$out"; fail "$file: no generated block"; }
  cat "$out" > "$dir/$file"
  rm -f "$out"
}

case ${1:-} in
  write)
    for f in "${files[@]}"; do write_file "$root" "$f"; done ;;
  check)
    for f in "${files[@]}"; do
      d=$(dirname "$f")
      mkdir -p "$scratch/$d"
      cp "$root/$f" "$scratch/$f"
      write_file "$scratch" "$f"
    done
    status=0
    for f in "${files[@]}"; do
      diff -u --label "$f (committed)" --label "$f (generated)" "$root/$f" "$scratch/$f" || status=1
    done
    [ "$status" -eq 0 ] || fail "generated blocks are out of date: run make generated"
    # Both hook forms run the same command on the same files; only the language differs.
    grep -v -e '^ *#' -e 'language:' "$root/.pre-commit-hooks.yaml" > "$scratch/system-hook"
    grep -v -e '^ *#' -e 'language:' "$root/packaging/pre-commit-mirror/.pre-commit-hooks.yaml" \
      > "$scratch/mirror-hook"
    diff "$scratch/system-hook" "$scratch/mirror-hook" ||
      fail "the two hook definitions differ in more than their language"
    echo "generated.sh: the hooks, the Action and the README agree with packaging/excludes.txt and version $version" ;;
  *) fail "usage: generated.sh write|check" ;;
esac
