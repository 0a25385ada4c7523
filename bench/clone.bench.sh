# Saving a version on the file systems that clone (btrfs, XFS) against
# `cp --reflink=always` of the same file on the same file system followed by
# `sync -f`, for a file of 32 MiB and of 1 MiB, saved again unchanged. The
# stored copy of the first save is a clone there, so the document shares
# every extent of its newest stored version, which then holds its contents:
# nothing is copied or read, and what remains is the process, the document's
# log and the index, each synced once (two barriers, which their order needs,
# against the reference's one `sync -f`). An edited document is cloned, and
# read once for its checksum while the clone is synced. Target: at most 2x
# at 32 MiB. Each file system is an image made for the run and loop-mounted;
# without root, or without mkfs.btrfs / mkfs.xfs (which are installed when
# missing and apt-get can), that file system is skipped.

clone_work=$BENCH_WORK/clone

clone_release() {
  local mount
  for mount in "$clone_work"/*/mnt; do
    mountpoint -q "$mount" 2>/dev/null && umount "$mount"
  done
  return 0
}

# clone_prepare TYPE MKFS PACKAGE: the mount point on stdout, or nothing.
clone_prepare() {
  local mkfs=$2 package=$3 folder=$clone_work/$1
  if ! command -v "$mkfs" >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$package" >/dev/null 2>&1 || return 0
  fi
  mkdir -p "$folder/mnt"
  rm -f "$folder/disk.img"
  truncate -s 1G "$folder/disk.img"
  "$mkfs" -q -f "$folder/disk.img" >/dev/null 2>&1 || return 0
  mount -o loop "$folder/disk.img" "$folder/mnt" 2>/dev/null || return 0
  echo "$folder/mnt"
}

clone_release
clone_skipped=()
if [ "$(id -u)" -ne 0 ]; then
  clone_skipped+=("btrfs and XFS: loop-mounting needs root")
else
  for clone_fs in "btrfs mkfs.btrfs btrfs-progs" "XFS mkfs.xfs xfsprogs"; do
    read -r clone_type clone_mkfs clone_package <<<"$clone_fs"
    clone_mount=$(clone_prepare "$clone_type" "$clone_mkfs" "$clone_package")
    if [ -z "$clone_mount" ]; then
      clone_skipped+=("$clone_type: cannot make and loop-mount an image ($clone_mkfs from $clone_package)")
      continue
    fi
    for clone_mib in 32 1; do
      head -c $((clone_mib << 20)) /dev/urandom >"$clone_mount/source-$clone_mib"
      sync -f "$clone_mount/source-$clone_mib"
      # A store that exists, as it does for every save but the first. That
      # save tags the document, which changes its change time; a document
      # changed in the last second has its clone read back too, and the
      # watcher takes documents only after a longer quiet period, so the
      # timed saves start after that second.
      XDG_DATA_HOME="$clone_mount/data" "$BENCH_CLI" save-version "$clone_mount/source-$clone_mib" >/dev/null
    done
    sleep 1.1
    for clone_mib in 32 1; do
      row "save-version of $clone_mib MiB on $clone_type" \
        "XDG_DATA_HOME='$clone_mount/data' '$BENCH_CLI' save-version '$clone_mount/source-$clone_mib'" \
        "cp --reflink=always '$clone_mount/source-$clone_mib' '$clone_mount/one' && sync -f '$clone_mount/one'" \
        "rm -f '$clone_mount/one'; sync -f '$clone_mount'"
    done
  done
fi
clone_release
rm -rf "$clone_work"
if [ ${#clone_skipped[@]} -gt 0 ]; then
  section "$(printf '## Skipped\n\n'; printf -- '- %s\n' "${clone_skipped[@]}")"
fi
