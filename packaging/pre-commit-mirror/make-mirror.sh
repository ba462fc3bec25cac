#!/usr/bin/env bash
# Makes the pre-commit mirror's commit for this version of orvel, tagged vVERSION:
#   make-mirror.sh MIRROR_DIR
# MIRROR_DIR is a clone of the mirror repository, or a new directory (made a git repository
# here). Its files are replaced by the hook definition, setup.py and README.md made from this
# folder, with the version from CMakeLists.txt, and LICENSE. Tags accumulate, one per orvel
# version, which is what `pre-commit autoupdate` reads. A version already tagged with other
# content is refused: a published tag never moves. The commit's author, message and dates come
# from orvel's own commit, so the same commit of orvel gives the same mirror commit.
set -euo pipefail

fail() { printf 'make-mirror.sh: %s\n' "$*" >&2; exit 1; }
[ $# -eq 1 ] || fail "usage: make-mirror.sh MIRROR_DIR"

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
version=$("$root/packaging/version.sh")
tag=v$version
mirror=$1

mkdir -p "$mirror"
mirror=$(cd "$mirror" && pwd)
git_m() { git -C "$mirror" "$@"; }
top=$(git_m rev-parse --show-toplevel 2>/dev/null) || top=""
if [ "$top" != "$mirror" ]; then
  git_m init -q
  git_m symbolic-ref HEAD refs/heads/main
fi

staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
cp "$here/.pre-commit-hooks.yaml" "$root/LICENSE" "$staging/"
sed "s/@VERSION@/$version/g" "$here/setup.py.in" > "$staging/setup.py"
sed "s/@VERSION@/$version/g" "$here/README.md.in" > "$staging/README.md"
if grep -n '@[A-Z_]*@' "$staging"/*; then fail "a placeholder was left unfilled"; fi

# Everything the mirror tracks is replaced, so a file dropped here is dropped there too.
git_m ls-files -z | (cd "$mirror" && xargs -0r rm -f --)
cp "$staging"/.pre-commit-hooks.yaml "$staging"/* "$mirror/"
git_m add -A

stamp=$("$root/packaging/source_date_epoch.sh")
export GIT_AUTHOR_NAME="orvel authors" GIT_AUTHOR_EMAIL="orvel@users.noreply.github.com"
export GIT_COMMITTER_NAME="$GIT_AUTHOR_NAME" GIT_COMMITTER_EMAIL="$GIT_AUTHOR_EMAIL"
export GIT_AUTHOR_DATE="@$stamp" GIT_COMMITTER_DATE="@$stamp"

if git_m rev-parse -q --verify "refs/tags/$tag" >/dev/null; then
  git_m diff --cached --quiet "$tag" -- ||
    fail "$tag is already tagged with other content; a published tag is never moved"
  echo "make-mirror.sh: $mirror already has $tag with this content"
  exit 0
fi
if git_m rev-parse -q --verify HEAD >/dev/null && git_m diff --cached --quiet HEAD --; then
  git_m commit -q --allow-empty -m "orvel $version"
else
  git_m commit -q -m "orvel $version"
fi
git_m tag "$tag"
made=$(git_m log -1 --format='%h %s')
echo "make-mirror.sh: $mirror: $made tagged $tag"
