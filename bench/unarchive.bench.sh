# Unarchiving with strataloom-cli against `cp -a` of the same folder followed by
# `sync -f`, since an unarchive is on disk when it reports success. Targets:
# 2,000 files of 64 KiB and 20,000 of 4 KiB within 1.3x of that durable copy,
# 8 of 128 MiB within 1.1x; listing, ordering and naming a folder of 100,000
# entries under 500 ms (the "ours" column of its row; `ls`, which also sorts,
# is shown for reference).

unarchive_work=$BENCH_WORK/unarchive

# unarchive_prepare NAME COUNT KIB: a folder of COUNT numbered files of KIB KiB,
# kept between runs. Markers are hidden names, which unarchiving leaves out.
unarchive_prepare() {
  local dir=$unarchive_work/$1 count=$2 kib=$3 i
  [ "$(cat "$dir/.prepared" 2>/dev/null)" = "$count $kib" ] && return
  rm -rf "$dir"
  mkdir -p "$dir"
  for ((i = 0; i < count; i++)); do
    head -c "$((kib * 1024))" /dev/urandom >"$dir/$(printf 'Notes%05d.txt' "$i")"
  done
  echo "$count $kib" >"$dir/.prepared"
}

# unarchive_row LABEL NAME: a fresh store for every run, so that each adds the
# same versions.
unarchive_row() {
  row "$1" \
    "XDG_DATA_HOME='$unarchive_work/data' '$BENCH_CLI' unarchive '$unarchive_work/$2' '$unarchive_work/out/Notes.txt'" \
    "cp -a '$unarchive_work/$2' '$unarchive_work/reference' && sync -f '$unarchive_work/reference'" \
    "discard '$unarchive_work/data' '$unarchive_work/out' '$unarchive_work/reference'; mkdir '$unarchive_work/out'; sync"
  discard "$unarchive_work/data" "$unarchive_work/out" "$unarchive_work/reference"
}

unarchive_prepare files "$(bench_size 2000 3)" 64
unarchive_prepare small "$(bench_size 20000 3)" 4
unarchive_prepare large "$(bench_size 8 2)" "$(bench_size 131072 64)"
unarchive_row "unarchive 2,000 files of 64 KiB" files
unarchive_row "unarchive 20,000 files of 4 KiB" small
unarchive_row "unarchive 8 files of 128 MiB" large

unarchive_many=$(bench_size 100000 10)
if [ "$(cat "$unarchive_work/many/.prepared" 2>/dev/null)" != "$unarchive_many" ]; then
  rm -rf "$unarchive_work/many"
  mkdir -p "$unarchive_work/many"
  "$BENCH_BIN/unarchive_bench" make "$unarchive_work/many" "$unarchive_many"
  echo "$unarchive_many" >"$unarchive_work/many/.prepared"
fi
row "list, order, name 100,000 entries" \
  "'$BENCH_BIN/unarchive_bench' list '$unarchive_work/many'" \
  "ls '$unarchive_work/many'"
