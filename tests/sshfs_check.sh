#!/usr/bin/env bash
# Proves that a write error a network file system reports only when the file is flushed fails the
# file instead of passing it: a file on a full disk reached through sshfs is rewritten, and the
# run must not report it passed while the file is neither its old text nor its new one. The
# server is a local sshd started by ssh itself on its standard input and output (inetd mode), so
# no port is opened and nothing is left running. Skips, saying why, where sshd, sshfs,
# FUSE or root are missing. Usage: tests/sshfs_check.sh ORVEL_BINARY
set -euo pipefail

binary=$(realpath "$1")
skip() { echo "sshfs check skipped: $*"; exit 0; }
[ "$(id -u)" = 0 ] || skip "needs root"
for tool in /usr/sbin/sshd sshfs ssh-keygen fusermount; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
[ -e /dev/fuse ] || skip "no /dev/fuse"

work=$(mktemp -d /tmp/write-sshfs.XXXXXX)
made_run_dir=no
cleanup() {
  fusermount -u -z "$work/mnt" 2>/dev/null || true
  umount "$work/remote" 2>/dev/null || true
  rm -rf "$work"
  if [ "$made_run_dir" = yes ]; then rmdir /run/sshd 2>/dev/null || true; fi
}
trap cleanup EXIT

mkdir -p "$work/remote" "$work/mnt"
# sshd's privilege separation directory, which its package makes at boot.
if [ ! -d /run/sshd ]; then
  mkdir -m 755 /run/sshd
  made_run_dir=yes
fi
# The remote side: a small tmpfs, filled to the last page before each try.
mount -t tmpfs -o size=2m write-sshfs-remote "$work/remote"
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/client_key"
cp "$work/client_key.pub" "$work/authorized_keys"
chmod 600 "$work/authorized_keys"
cat > "$work/sshd_config" <<CONFIG
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
CONFIG
ssh_options=(-o "ProxyCommand=/usr/sbin/sshd -i -f $work/sshd_config" -o "IdentityFile=$work/client_key"
  -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR -o BatchMode=yes)
sshfs "${ssh_options[@]}" "root@localhost:$work/remote" "$work/mnt" || skip "sshfs could not mount"

old='{"b":1,"a":['
new=$'{\n  "a": [\n'
for i in $(seq 1 4000); do old+="$i,"; new+="    $i,"$'\n'; done
old+='0]}'
new+=$'    0\n  ],\n  "b": 1\n}\n'

tries=0 kept_old=0 written_new=0 failed=0
for free_pages in $(seq 0 15) 16 20 24 32; do
  tries=$((tries + 1))
  rm -f "$work/remote/filler" "$work/remote/x.json"
  printf '%s' "$old" > "$work/remote/x.json"
  # Fill the remote disk, then give back the pages this try leaves free.
  dd if=/dev/zero of="$work/remote/filler" bs=4096 status=none 2>/dev/null || true
  if [ "$free_pages" -gt 0 ]; then
    size=$(stat -c %s "$work/remote/filler")
    truncate -s $(( size > free_pages * 4096 ? size - free_pages * 4096 : 0 )) "$work/remote/filler"
  fi
  status=0
  report=$(cd "$work/mnt" && "$binary" x.json) || status=$?
  after=$(cat "$work/remote/x.json"; printf x)
  after=${after%x}
  if [ "$after" = "$old" ]; then held=old; elif [ "$after" = "$new" ]; then held=new; else held="neither (${#after} bytes)"; fi
  # The detail line of the one result, when it failed: "lint_file: IOError: ...".
  detail=$(printf '%s\n' "$report" | grep -o 'lint_file: [^[:cntrl:]]*' || true)
  echo "free pages $free_pages: status $status, file $held${detail:+, $detail}"
  case "$held" in
    old)
      kept_old=$((kept_old + 1))
      case "$status:$detail" in
        "1:lint_file: IOError: Input/output error (os error 5)" | "1:lint_file: IOError: No space left on device (os error 28)") ;;
        *) echo "  kept old with an unexpected outcome"; failed=$((failed + 1)) ;;
      esac
      ;;
    new) written_new=$((written_new + 1)); [ "$status" = 0 ] || { echo "  written but failed"; failed=$((failed + 1)); } ;;
    *)
      if [ "$status" != 1 ] || [[ "$detail" != *"; the old text could not be put back" ]]; then
        echo "  damaged without saying so: $report"
        failed=$((failed + 1))
      fi
      ;;
  esac
done
echo "sshfs: $tries tries, $kept_old kept old, $written_new written new, $failed wrong"
[ "$failed" = 0 ]
