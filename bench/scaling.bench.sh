# How cost grows with the number of versions (1,000 / 10,000 / 50,000 of 4 KiB)
# and with their size (4 KiB to 16 MiB): adding to the store, listing, and
# archiving, each against its reference in the same run. Reported as two
# tables of their own.

scaling_work=$BENCH_WORK/scaling

# scaling_prepare NAME COUNT BYTES: COUNT files of BYTES each in NAME/source,
# and a document NAME/NAME.bin with them as its versions in a store of its own
# (NAME/data), with NAME/plain, the folder an archive of it gives, made once by
# the command itself for the reference to copy. Kept between runs.
scaling_prepare() {
  local name=$1 count=$2 bytes=$3
  local dir=$scaling_work/$name
  if [ "$(cat "$dir/done" 2>/dev/null)" != "$count $bytes" ]; then
    rm -rf "$dir"
    mkdir -p "$dir/source" "$dir/one"
    "$BENCH_BIN/scaling_bench" make "$dir/source" "$count" "$bytes"
    "$BENCH_BIN/scaling_bench" make "$dir/one" 1 "$bytes"
    mv "$dir/one/v000000" "$dir/$name.bin"
    : >"$dir/adding.bin"
    "$BENCH_BIN/store_bench" add "$dir/data/strataloom" "$dir/$name.bin" "$dir/source" >/dev/null
    XDG_DATA_HOME=$dir/data "$BENCH_CLI" archive "$dir/$name.bin" "$dir/plain" >/dev/null
    [ "$(find "$dir/plain" -mindepth 1 | wc -l)" -eq "$((count + 1))" ] || { echo "bench/run: $name not prepared" >&2; exit 1; }
    echo "$count $bytes" >"$dir/done"
  fi
}

# scaling_add NAME: adding every source file to a fresh store, against cp -a.
scaling_add() {
  local dir=$scaling_work/$1
  measure "'$BENCH_BIN/store_bench' add '$dir/fresh' '$dir/adding.bin' '$dir/source'" \
    "cp -a '$dir/source' '$dir/copy'" \
    "discard '$dir/fresh' '$dir/copy'; sync"
  discard "$dir/fresh" "$dir/copy"
}

# scaling_list NAME: listing the versions and checking each, against ls -l.
scaling_list() {
  local dir=$scaling_work/$1
  measure "'$BENCH_BIN/store_bench' list '$dir/data/strataloom' '$dir/$1.bin'" \
    "ls -l --full-time '$dir/source'"
}

# scaling_archive NAME: archiving with the command, against cp -a of the same
# versions as files; both sync inside their timing.
scaling_archive() {
  local dir=$scaling_work/$1
  measure "XDG_DATA_HOME='$dir/data' '$BENCH_CLI' archive '$dir/$1.bin' '$dir/ours' && sync" \
    "cp -a '$dir/plain' '$dir/reference' && sync" \
    "discard '$dir/ours' '$dir/reference'; sync"
  discard "$dir/ours" "$dir/reference"
}

# "ours / reference (ratio)" of the last measurement.
scaling_cell() {
  awk -v o="$MEASURED_OURS" -v r="$MEASURED_REFERENCE" \
    'BEGIN { printf "%.0f / %.0f ms (%.2f)", o, r, (r > 0 ? o / r : 0) }'
}

scaling_per_version() {
  awk -v o="$MEASURED_OURS" -v n="$1" 'BEGIN { printf "%.0f µs", o * 1000 / n }'
}

# 50000 -> 50,000
scaling_number() {
  printf '%d' "$1" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta'
}

scaling_peak() {
  awk -v k="$MEASURED_PEAK" 'BEGIN { printf "%.1f MiB", k / 1024 }'
}

scaling_count_rows=()
for count in $(bench_size "1000 10000 50000" "2 3"); do
  name=count$count
  scaling_prepare "$name" "$count" 4096
  echo "bench/run: $count versions of 4 KiB" >&2
  scaling_add "$name"
  add_cell=$(scaling_cell) add_each=$(scaling_per_version "$count") add_peak=$(scaling_peak)
  scaling_list "$name"
  list_cell=$(scaling_cell) list_peak=$(scaling_peak)
  scaling_archive "$name"
  archive_cell=$(scaling_cell) archive_each=$(scaling_per_version "$count") archive_peak=$(scaling_peak)
  scaling_count_rows+=("| $(scaling_number "$count") | $add_cell | $add_each | $add_peak | $list_cell | $list_peak | $archive_cell | $archive_each | $archive_peak |")
done

scaling_size_rows=()
IFS=';' read -ra scaling_size_cases <<<"$(bench_size \
  "4 KiB:4096:1000;64 KiB:65536:1000;1 MiB:1048576:200;16 MiB:16777216:20" "4 KiB:4096:2;1 MiB:1048576:2")"
for size_case in "${scaling_size_cases[@]}"; do
  IFS=: read -r label bytes count <<<"$size_case"
  name=size$bytes
  scaling_prepare "$name" "$count" "$bytes"
  echo "bench/run: $count versions of $label" >&2
  scaling_add "$name"
  add_cell=$(scaling_cell) add_each=$(scaling_per_version "$count") add_peak=$(scaling_peak)
  add_rate=$(awk -v o="$MEASURED_OURS" -v b="$bytes" -v n="$count" 'BEGIN { printf "%.0f MiB/s", b * n / 1048576 / (o / 1000) }')
  scaling_archive "$name"
  archive_cell=$(scaling_cell) archive_each=$(scaling_per_version "$count") archive_peak=$(scaling_peak)
  archive_rate=$(awk -v o="$MEASURED_OURS" -v b="$bytes" -v n="$count" 'BEGIN { printf "%.0f MiB/s", b * n / 1048576 / (o / 1000) }')
  scaling_size_rows+=("| $label | $(scaling_number "$count") | $add_cell | $add_each | $add_rate | $add_peak | $archive_cell | $archive_each | $archive_rate | $archive_peak |")
done

section "## Growth with the number of versions

Versions of 4 KiB each, in a store holding only that document. Each cell is ours / reference
(ratio); add is against \`cp -a\` of the source folder, list (which also checks each version
is intact by its fingerprint) against \`ls -l --full-time\` of a folder of as many files, and
archive against \`cp -a\` of the stored files, both followed by \`sync\`. Per version is our
median divided by the number of versions.

| Versions | Add | Per version | Peak | List | Peak | Archive | Per version | Peak |
| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |
$(printf '%s\n' "${scaling_count_rows[@]}")"

section "## Growth with the size of versions

Fewer versions as they grow, so each row moves a comparable amount of data. Cells as above.

| Size | Versions | Add | Per version | Rate | Peak | Archive | Per version | Rate | Peak |
| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |
$(printf '%s\n' "${scaling_size_rows[@]}")"
