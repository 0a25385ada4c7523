# Archiving a document's versions with strataloom-cli against `cp -a` of the
# same stored files (and the document) into a folder. Targets: within 1.10x of
# cp -a; peak memory of the archive command under 40 MiB whatever the sizes.

if [ ! -x /usr/bin/time ]; then
  archive_sudo=()
  [ "$(id -u)" -ne 0 ] && archive_sudo=(sudo)
  "${archive_sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${archive_sudo[@]}" apt-get install -y -qq --no-install-recommends time
fi

archive_work=$BENCH_WORK/archive

# archive_prepare NAME COUNT KIB: a document NAME.bin with COUNT saved versions
# of KIB KiB each, kept between runs, and the list of every file an archive of
# it copies.
archive_prepare() {
  local name=$1 count=$2 kib=$3
  local dir=$archive_work/$name
  if [ ! -f "$dir/done" ]; then
    rm -rf "$dir"
    mkdir -p "$dir/source"
    local i
    for ((i = 0; i < count; i++)); do
      head -c "$((kib * 1024))" /dev/urandom >"$dir/source/$(printf 'v%05d' "$i")"
    done
    head -c "$((kib * 1024))" /dev/urandom >"$dir/$name.bin"
    "$BENCH_BIN/store_bench" add "$XDG_DATA_HOME/strataloom" "$dir/$name.bin" "$dir/source" >/dev/null
    rm -rf "$dir/source"
    "$BENCH_CLI" versions "$dir/$name.bin" | awk -F '\t' '{ print $NF }' >"$dir/files"
    [ "$(wc -l <"$dir/files")" -eq "$((count + 1))" ] || { echo "bench/run: $name not prepared" >&2; exit 1; }
    touch "$dir/done"
  fi
}

# archive_rows NAME LABEL SHORT: the timed row, then the peak memory of one
# more run.
archive_rows() {
  local name=$1 label=$2 short=$3
  local dir=$archive_work/$name
  # Each side syncs inside its own timing, so neither pays for the other's
  # writeback.
  row "archive $label" \
    "'$BENCH_CLI' archive '$dir/$name.bin' '$dir/ours' && sync" \
    "mkdir '$dir/reference' && xargs -d '\\n' cp -a -t '$dir/reference' <'$dir/files' && sync" \
    "rm -rf '$dir/ours' '$dir/reference'; sync"
  rm -rf "$dir/ours"
  local kib
  kib=$(/usr/bin/time -v "$BENCH_CLI" archive "$dir/$name.bin" "$dir/ours" 2>&1 >/dev/null |
    awk -F ': ' '/Maximum resident set size/ { print $2 }')
  rm -rf "$dir/ours" "$dir/reference"
  RESULTS+=("$(awk -v n="archive $short: peak memory" -v k="$kib" \
    'BEGIN { printf "%-40s | %8.1f MiB | %8s MiB | %6.2f", n, k / 1024, "40.0", k / 1024 / 40 }')")
}

archive_prepare small 2000 64
archive_prepare large 8 131072
archive_rows small "2,000 versions of 64 KiB" "2,000 x 64 KiB"
archive_rows large "8 versions of 128 MiB" "8 x 128 MiB"
