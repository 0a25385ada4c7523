# What a history costs: real histories made by the scripts of bench/material
# from this project's own files (its documentation's edits, LibreOffice saves
# of them, a table of its commits) are fed to a fresh store, each through
# `save-version` as a user saving would, then compacted when the command line
# has `compact`; the store's `du -B1` is set against `du -B1` of every version
# as a file of its own on the same file system, and, for the text and office
# histories, against `git gc --aggressive` of the same versions. Every version
# is read back through `archive` and compared byte for byte. Also: ten
# unchanged saves of an 8 MiB file, a sparse 1 GiB file holding 1 MiB, and
# 10,000 documents of 200 bytes taken by the watcher (BENCH_HISTORY_TINY=100000
# for more) against the tree they version.
# Timed against `cp -a` + `sync -f`, with real edits between versions: a
# save-version of 64 KiB and of a LibreOffice odt of about 200 KiB, the
# watcher's first versions of 2,000 files of 64 KiB, unarchive of 2,000
# versions of 64 KiB and archive of them, and reading the oldest of 400
# versions of 1 MiB. Peak memory of every command run.
# The material is made from commit BENCH_HISTORY_COMMIT (by default one of
# main's, named in bench/history/material.sh, so that later programs meet the
# same histories; HEAD when a clone lacks it) and kept under
# $BENCH_WORK/history/material.
# Needs git (the material), and for the office histories pandoc and
# LibreOffice (libreoffice-writer-nogui, libreoffice-calc-nogui), installed
# when missing and apt-get can; without them those histories are left out.

history_work=$BENCH_WORK/history
history_material=$history_work/material
history_text_saves=$(bench_size 0 12)
history_office_count=$(bench_size 40 0)
history_lines_count=$(bench_size 2000 4) history_lines_bytes=65536
history_mib_count=$(bench_size 400 3) history_mib_bytes=$(bench_size 1048576 65536)
history_unchanged_saves=$(bench_size 10 3) history_unchanged_bytes=$(bench_size 8388608 65536)
history_sparse_bytes=$(bench_size 1073741824 16777216) history_sparse_data=$(bench_size 1048576 65536)
history_tiny_count=$(bench_size "${BENCH_HISTORY_TINY:-10000}" 20)
# shellcheck source=bench/history/material.sh
source "$ROOT/bench/history/material.sh"

history_compact=
"$BENCH_CLI" --help 2>/dev/null | grep -q '^  compact' && history_compact=1

# history_run VARIABLE COMMAND...: runs COMMAND, raising VARIABLE to its peak
# resident memory in KiB; stops the run when it fails.
history_run() {
  local variable=$1 peak
  shift
  if ! /usr/bin/time -f %M -o "$history_work/peak" "$@" >/dev/null; then
    echo "bench/run: failed: $*" >&2
    exit 1
  fi
  peak=$(tail -n 1 "$history_work/peak")
  ((peak > ${!variable:-0})) && printf -v "$variable" %s "$peak"
  return 0
}

# 10000 -> 10,000
history_thousands() {
  sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$1"
}

# 1048576 -> 1 MiB
history_size_label() {
  awk -v b="$1" 'BEGIN {
    if (b >= 1073741824 && b % 1073741824 == 0) printf "%d GiB", b / 1073741824
    else if (b >= 1048576 && b % 1048576 == 0) printf "%d MiB", b / 1048576
    else printf "%d KiB", b / 1024 }'
}

history_since_ms() {
  awk -v s="$1" -v e="$EPOCHREALTIME" -v n="${2:-1}" 'BEGIN { printf "%.1f", (e - s) * 1000 / n }'
}

# history_feed NAME DOCUMENT FILE...: a fresh store in $history_work/NAME/data
# in which DOCUMENT took each FILE's contents in turn, a save-version after
# each, then compacted. Leaves the mean time of a save, with the copy into
# place, and the peaks in history_feed_*.
history_feed() {
  local name=$1 document=$2 file start
  shift 2
  discard "$history_work/$name"
  mkdir -p "$history_work/$name/data" "$(dirname "$document")"
  history_feed_peak=0 history_feed_compact_peak='' history_feed_compact_ms=''
  echo "bench/run: history $name: $# saves" >&2
  start=$EPOCHREALTIME
  for file in "$@"; do
    cp --sparse=always "$file" "$document"
    history_run history_feed_peak env XDG_DATA_HOME="$history_work/$name/data" "$BENCH_CLI" save-version "$document"
  done
  history_feed_ms=$(history_since_ms "$start" $#)
  history_compact "$name"
}

# history_compact NAME: compacts the store of NAME when the command line can.
history_compact() {
  local start
  [ -n "$history_compact" ] || return 0
  start=$EPOCHREALTIME
  history_run history_feed_compact_peak env XDG_DATA_HOME="$history_work/$1/data" "$BENCH_CLI" compact
  history_feed_compact_ms=$(history_since_ms "$start")
}

# history_round_trip NAME DOCUMENT FILE...: archives DOCUMENT and stops the
# run unless its entries are the FILEs, in order, then the document itself.
# Leaves the archive's peak in history_archive_peak.
history_round_trip() {
  local name=$1 document=$2 file entries i=0
  shift 2
  local out=$history_work/$name/archive
  history_archive_peak=0
  history_run history_archive_peak env XDG_DATA_HOME="$history_work/$name/data" "$BENCH_CLI" archive "$document" "$out"
  entries=("$out"/*)
  if [ ${#entries[@]} -ne $(($# + 1)) ]; then
    echo "bench/run: history $name: the archive holds ${#entries[@]} entries, not $(($# + 1))" >&2
    exit 1
  fi
  for file in "$@" "$document"; do
    if ! cmp -s "$file" "${entries[$i]}"; then
      echo "bench/run: history $name: version $i read back through archive differs from what was saved" >&2
      exit 1
    fi
    i=$((i + 1))
  done
}

# Bytes on disk of what is named, hard links and repeated names counted each time.
history_du() {
  du -B1 -s -l "$@" | awk '{ total += $1 } END { print total + 0 }'
}

# history_git_bytes FILE...: `du -B1` of a bare git repository holding each
# FILE as a commit of one file, after `git gc --aggressive`.
history_git_bytes() {
  local repository=$history_work/git file when=1700000000
  discard "$repository"
  git init -q --bare --template= "$repository"
  for file in "$@"; do
    printf 'commit refs/heads/main\ncommitter Bench <bench@localhost> %d +0000\ndata 0\nM 100644 inline document\ndata %d\n' \
      "$when" "$(stat -c %s "$file")"
    cat "$file"
    echo
    when=$((when + 60))
  done | git -C "$repository" fast-import --quiet
  git -C "$repository" gc -q --aggressive --prune=now
  history_du "$repository"
  discard "$repository"
}

# Rows of the size table: LABEL VERSIONS WHOLE STORED GIT LIMIT TARGET (bytes;
# GIT and LIMIT may be empty), and of the cost table: LABEL, mean SAVE ms and
# its peak, COMPACT ms and its peak, the ARCHIVE's peak; fields apart by
# history_field, which unlike a tab keeps empty fields when read.
history_field=$'\x1f'
history_sizes=()
history_costs=()
history_join() {
  local IFS=$history_field
  echo "$*"
}
history_record() {
  history_sizes+=("$(history_join "$@")")
  history_costs+=("$(history_join "$1" "$history_feed_ms" "$history_feed_peak" "$history_feed_compact_ms" \
    "$history_feed_compact_peak" "$history_archive_peak")")
}

# history_of NAME LABEL DOCUMENT_NAME PERCENT WITH_GIT FILE...: feeds, checks
# and records one history; PERCENT is its target (of whole copies; empty for
# none), lowered to git's size when WITH_GIT is 1.
history_of() {
  local name=$1 label=$2 document=$history_work/$1/documents/$3 percent=$4 with_git=$5
  shift 5
  history_feed "$name" "$document" "$@"
  history_round_trip "$name" "$document" "$@"
  local whole stored git='' limit='' target=''
  whole=$(history_du "$@")
  stored=$(history_du "$history_work/$name/data")
  [ "$with_git" = 1 ] && git=$(history_git_bytes "$@")
  if [ -n "$percent" ]; then
    limit=$(awk -v w="$whole" -v p="$percent" 'BEGIN { printf "%d", w * p / 100 }')
    target="≤ $percent %"
  fi
  if [ -n "$git" ]; then
    target=${target:+$target, }"≤ git"
    { [ -z "$limit" ] || [ "$git" -lt "$limit" ]; } && limit=$git
  fi
  history_record "$label" $# "$whole" "$stored" "$git" "$limit" "$target"
  discard "$history_work/$name"
}

history_text=("$history_material/text"/*)
history_of text "Markdown handbook, saved every ≤ 5 lines" Handbook.md 5 1 "${history_text[@]}"
declare -A history_office_targets=([odt]=8 [docx]=4 [pdf]='' [ods]=4 [xlsx]=4)
for kind in "${history_office_kinds[@]}"; do
  case $kind in
    ods | xlsx) history_office_name=Commits.$kind ;;
    *) history_office_name=Handbook.$kind ;;
  esac
  history_office=("$history_material/office/$kind"/*)
  history_of "$kind" "LibreOffice $kind" "$history_office_name" "${history_office_targets[$kind]}" 1 "${history_office[@]}"
done

history_unchanged=()
for ((i = 0; i < history_unchanged_saves; i++)); do
  history_unchanged+=("$history_material/unchanged/document.bin")
done
history_of unchanged "$history_unchanged_saves unchanged saves of $(history_size_label "$history_unchanged_bytes")" \
  document.bin "$(awk -v n="$history_unchanged_saves" 'BEGIN { printf "%.2f", 101 / n }')" 0 "${history_unchanged[@]}"

# The sparse file's target is in bytes (2 MiB), and whether what is read back
# keeps the holes is worth a line of its own.
history_feed sparse "$history_work/sparse/documents/disk.img" "$history_material/sparse/document.img"
history_round_trip sparse "$history_work/sparse/documents/disk.img" "$history_material/sparse/document.img"
history_sparse_back=$(history_du "$history_work/sparse/archive"/*00000*)
history_record "sparse file of $(history_size_label "$history_sparse_bytes"), $(history_size_label "$history_sparse_data") of data" 1 \
  "$(history_du "$history_material/sparse/document.img")" "$(history_du "$history_work/sparse/data")" "" \
  $((2 * history_sparse_data)) "≤ $(history_size_label $((2 * history_sparse_data)))"
discard "$history_work/sparse"

# shellcheck source=bench/history/timed.sh
source "$ROOT/bench/history/timed.sh"
# shellcheck source=bench/history/report.sh
source "$ROOT/bench/history/report.sh"
