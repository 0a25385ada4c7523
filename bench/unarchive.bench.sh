# Unarchiving with strataloom-cli against `cp -a` of the same folder. Targets:
# a folder of 2,000 files of 64 KiB within 1.5x of cp -a, every version going
# through the store's normal, crash-safe add; listing, ordering and naming a
# folder of 100,000 entries under 500 ms (the "ours" column of its row; `ls`,
# which also sorts, is shown for reference).

unarchive_work=$BENCH_WORK/unarchive

# Markers are hidden names, which unarchiving leaves out.
if [ ! -f "$unarchive_work/files/.prepared" ]; then
  rm -rf "$unarchive_work/files"
  mkdir -p "$unarchive_work/files"
  for i in $(seq 0 1999); do
    head -c 65536 /dev/urandom >"$unarchive_work/files/$(printf 'Notes%05d.txt' "$i")"
  done
  : >"$unarchive_work/files/.prepared"
fi
if [ ! -f "$unarchive_work/many/.prepared" ]; then
  rm -rf "$unarchive_work/many"
  mkdir -p "$unarchive_work/many"
  "$BENCH_BIN/unarchive_bench" make "$unarchive_work/many" 100000
  : >"$unarchive_work/many/.prepared"
fi

# A fresh store for every run, so that each adds the same 1,999 versions.
row "unarchive 2,000 files of 64 KiB" \
  "XDG_DATA_HOME='$unarchive_work/data' '$BENCH_CLI' unarchive '$unarchive_work/files' '$unarchive_work/out/Notes.txt'" \
  "cp -a '$unarchive_work/files' '$unarchive_work/reference'" \
  "discard '$unarchive_work/data' '$unarchive_work/out' '$unarchive_work/reference'; mkdir '$unarchive_work/out'; sync"
discard "$unarchive_work/data" "$unarchive_work/out" "$unarchive_work/reference"

row "list, order, name 100,000 entries" \
  "'$BENCH_BIN/unarchive_bench' list '$unarchive_work/many'" \
  "ls '$unarchive_work/many'"
