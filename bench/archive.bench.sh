# Archiving a document's versions with strataloom-cli against `cp -a` of the
# same versions (and the document) into a folder followed by `sync -f` of
# that folder, since an archive is on disk when it reports success. Targets:
# within 1.10x of that durable copy; peak memory of the archive command under
# 40 MiB whatever the sizes.

archive_work=$BENCH_WORK/archive

# archive_prepare NAME COUNT KIB: a document NAME.bin with COUNT saved versions
# of KIB KiB each, kept between runs, and NAME/plain, the folder an archive of
# it gives, made once by the command itself: the reference copies the versions
# as files without knowing how the store keeps them.
archive_prepare() {
  local name=$1 count=$2 kib=$3
  local dir=$archive_work/$name
  if [ "$(cat "$dir/done" 2>/dev/null)" != "$count $kib" ]; then
    rm -rf "$dir"
    mkdir -p "$dir/source"
    local i
    for ((i = 0; i < count; i++)); do
      head -c "$((kib * 1024))" /dev/urandom >"$dir/source/$(printf 'v%05d' "$i")"
    done
    head -c "$((kib * 1024))" /dev/urandom >"$dir/$name.bin"
    "$BENCH_BIN/store_bench" add "$XDG_DATA_HOME/strataloom" "$dir/$name.bin" "$dir/source" >/dev/null
    rm -rf "$dir/source"
    "$BENCH_CLI" archive "$dir/$name.bin" "$dir/plain" >/dev/null
    [ "$(find "$dir/plain" -mindepth 1 | wc -l)" -eq "$((count + 1))" ] || { echo "bench/run: $name not prepared" >&2; exit 1; }
    echo "$count $kib" >"$dir/done"
  fi
}

# archive_rows NAME LABEL: the timed row; bench/run adds the peak memory.
archive_rows() {
  local name=$1 label=$2
  local dir=$archive_work/$name
  # Both sides are on disk within their own timing, so neither pays for the
  # other's writeback: the archive makes its entries durable itself.
  row "archive $label" \
    "'$BENCH_CLI' archive '$dir/$name.bin' '$dir/ours'" \
    "cp -a '$dir/plain' '$dir/reference' && sync -f '$dir/reference'" \
    "discard '$dir/ours' '$dir/reference'; sync"
  discard "$dir/ours" "$dir/reference"
}

archive_prepare small "$(bench_size 2000 3)" "$(bench_size 64 4)"
archive_prepare large "$(bench_size 8 2)" "$(bench_size 131072 64)"
archive_rows small "2,000 versions of 64 KiB"
archive_rows large "8 versions of 128 MiB"
