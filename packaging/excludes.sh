#!/usr/bin/env bash
# Turns a list of excluded paths (packaging/excludes.txt, or the GitHub Action's excludes input)
# into the form each way of running orvel takes:
#   excludes.sh patterns  [FILE]   the patterns alone, one a line
#   excludes.sh pathspecs [FILE]   git pathspecs that leave them out, one a line
#   excludes.sh regex     [FILE]   a verbose Python regex matching them, for pre-commit's exclude
#   excludes.sh find-prune [FILE]  find(1) tests naming the directories to prune, one a line
#   excludes.sh find-skip  [FILE]  find(1) tests that skip the files, one a line
# FILE defaults to packaging/excludes.txt; "-" reads standard input. A pattern matches at any
# depth: a name (`*` matches within one name), a path ending (a/b.json), or a directory and
# everything in it (ending in `/`). Blank lines and lines starting with `#` are skipped.
set -euo pipefail

fail() { printf 'excludes.sh: %s\n' "$*" >&2; exit 2; }

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  fail "usage: excludes.sh patterns|pathspecs|regex|find-prune|find-skip [FILE]"
fi
form=$1
file=${2:-$(dirname "$0")/excludes.txt}
[ "$file" = - ] && file=/dev/stdin

patterns=()
while IFS= read -r line || [ -n "$line" ]; do
  # Surrounding blanks are dropped, so an indented YAML block or CRLF text reads the same.
  line=${line%$'\r'}
  line=${line#"${line%%[![:space:]]*}"}
  line=${line%"${line##*[![:space:]]}"}
  case $line in '' | '#'*) continue ;; esac
  # Every form below quotes or escapes these characters and no others; anything else (spaces,
  # brackets, regex or pathspec magic) would mean different things in different forms.
  [[ $line =~ ^[A-Za-z0-9._*/-]+$ ]] || fail "pattern '$line' may only use letters, digits and . _ - * /"
  [[ $line != /* && $line != *//* && $line != / ]] || fail "pattern '$line' has an empty path part"
  patterns+=("$line")
done < "$file"

# Sets $re to PATTERN as a regex: a dot is literal, and `*` stays within one name.
to_regex() { local s=${1//./\\.}; re=${s//\*/[^/]*}; }

case $form in
  patterns)
    [ ${#patterns[@]} -eq 0 ] || printf '%s\n' "${patterns[@]}" ;;
  pathspecs)
    # glob: `*` stays within one name, and a leading `**/` matches any depth, the top included.
    for p in ${patterns[@]+"${patterns[@]}"}; do
      case $p in */) printf ':(exclude,glob)**/%s**\n' "$p" ;; *) printf ':(exclude,glob)**/%s\n' "$p" ;; esac
    done ;;
  regex)
    # pre-commit matches a path relative to the repository's top with re.search; (?x) lets the
    # expression keep one alternative a line, which is how users widen or narrow it.
    printf '(?x)(^|/)(\n'
    n=${#patterns[@]} i=0
    for p in ${patterns[@]+"${patterns[@]}"}; do
      i=$((i + 1))
      to_regex "$p"
      case $p in */) alt="$re.*" ;; *) alt=$re ;; esac
      if [ "$i" -lt "$n" ]; then printf '  %s|\n' "$alt"; else printf '  %s\n' "$alt"; fi
    done
    printf ')$\n' ;;
  find-prune)
    # For `find . \( PRUNE -o PRUNE \) -prune -o -type f -name '*.json' SKIP... -print0`.
    # find's -path lets `*` match "/" as well, so a path with `*` in it becomes a -regex
    # (read alike by GNU's and BSD's find), in which `*` stays within one name.
    for p in ${patterns[@]+"${patterns[@]}"}; do
      to_regex "${p%/}"
      case $p in
        *'*'*/*/) printf -- "-regex '.*/%s'\n" "$re" ;;
        */*/) printf -- "-path '*/%s'\n" "${p%/}" ;;
        */) printf -- "-name '%s'\n" "${p%/}" ;;
      esac
    done ;;
  find-skip)
    for p in ${patterns[@]+"${patterns[@]}"}; do
      to_regex "$p"
      case $p in
        */) ;;
        *'*'*/* | */*'*'*) printf -- "! -regex '.*/%s'\n" "$re" ;;
        */*) printf -- "! -path '*/%s'\n" "$p" ;;
        *) printf -- "! -name '%s'\n" "$p" ;;
      esac
    done ;;
  *) fail "unknown form '$form'" ;;
esac
