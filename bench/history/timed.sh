# Part of bench/history.bench.sh: the histories that are also timed, and the
# small documents the watcher takes.

# history_watcher_env FOLDER: a store, settings and state of FOLDER's own.
history_watcher_env() {
  echo "XDG_DATA_HOME='$1/data' XDG_CONFIG_HOME='$1/config' XDG_STATE_HOME='$1/state'"
}

# Small documents: the watcher's first versions of a tree of them, against the
# tree. A sample of them is read back through archive, each once changed (the
# watcher stopped), since a document's newest automatic version that it still
# holds is listed only as its current version.
history_tiny=$history_work/tiny
discard "$history_tiny"
mkdir -p "$history_tiny/data" "$history_tiny/config" "$history_tiny/state"
cp -a "$history_material/tiny" "$history_tiny/tree"
eval "$(history_watcher_env "$history_tiny") '$BENCH_CLI' watch add '$history_tiny/tree'" >/dev/null
echo "bench/run: history tiny: the watcher's first versions of $history_tiny_count documents" >&2
history_feed_peak=0 history_feed_compact_peak='' history_feed_compact_ms=''
history_tiny_start=$EPOCHREALTIME
history_run history_feed_peak env XDG_DATA_HOME="$history_tiny/data" XDG_CONFIG_HOME="$history_tiny/config" \
  XDG_STATE_HOME="$history_tiny/state" "$BENCH_BIN/watch_bench" ready "$BENCH_CLI"
history_feed_ms=$(history_since_ms "$history_tiny_start" "$history_tiny_count")
history_compact tiny
history_tiny_tree=$(history_du "$history_tiny/tree")
history_tiny_stored=$(history_du "$history_tiny/data")
history_tiny_archive_peak=0
while read -r history_tiny_file; do
  echo "changed after the watcher" >>"$history_tiny_file"
  history_round_trip tiny "$history_tiny_file" "$history_material/tiny/${history_tiny_file#"$history_tiny/tree/"}"
  ((history_archive_peak > history_tiny_archive_peak)) && history_tiny_archive_peak=$history_archive_peak
  discard "$history_tiny/archive"
done < <(find "$history_tiny/tree" -type f | sort |
  awk -v n="$history_tiny_count" -v k="$(bench_size 20 3)" '(NR - 1) % int((n + k - 1) / k) == 0')
history_archive_peak=$history_tiny_archive_peak
history_record "$(history_thousands "$history_tiny_count") documents of 200 bytes (watcher), against their tree" \
  "$history_tiny_count" "$history_tiny_tree" "$history_tiny_stored" "" \
  $((history_tiny_tree * 3 / 2)) "≤ 150 % of the tree"
discard "$history_tiny"

# A document of 1 MiB: its size, and reading its oldest version through the
# store's one reading path (as archive and Restore as Copy do), against a copy
# of that version.
history_mib=("$history_material/mib"/*)
history_mib_size=$(history_size_label "$history_mib_bytes")
history_mib_document=$history_work/mib/documents/Handbook.txt
history_feed mib "$history_mib_document" "${history_mib[@]}"
history_round_trip mib "$history_mib_document" "${history_mib[@]}"
history_record "a document of $history_mib_size, saved every ≤ 5 lines" "${#history_mib[@]}" \
  "$(history_du "${history_mib[@]}")" "$(history_du "$history_work/mib/data")" "" "" ""
discard "$history_work/mib/archive"
row "history: read the oldest of ${#history_mib[@]} versions of $history_mib_size" \
  "'$BENCH_BIN/history_bench' read '$history_work/mib/data/strataloom' '$history_mib_document' 0 '$history_work/mib/oldest'" \
  "cp -a '${history_mib[0]}' '$history_work/mib/copy'" \
  "discard '$history_work/mib/oldest' '$history_work/mib/copy'"
cmp -s "${history_mib[0]}" "$history_work/mib/oldest" || {
  echo "bench/run: history mib: the oldest version read back differs from what was saved" >&2
  exit 1
}
discard "$history_work/mib"

# A document of 64 KiB edited line by line: unarchived from a folder of its
# versions (the last is the new file), compacted, read back, then archived.
history_lines=("$history_material/lines"/*)
history_lines_label="$(history_thousands "${#history_lines[@]}") versions of 64 KiB"
history_unarchived=$history_work/lines
discard "$history_unarchived"
row "history: unarchive $history_lines_label, edited line by line" \
  "XDG_DATA_HOME='$history_unarchived/data' '$BENCH_CLI' unarchive '$history_material/lines' '$history_unarchived/out/Handbook.txt'" \
  "cp -a '$history_material/lines' '$history_unarchived/reference' && sync -f '$history_unarchived/reference'" \
  "discard '$history_unarchived/data' '$history_unarchived/out' '$history_unarchived/reference'; mkdir -p '$history_unarchived/out'; sync"
discard "$history_unarchived/reference"
history_feed_ms='' history_feed_peak=$MEASURED_PEAK history_feed_compact_peak='' history_feed_compact_ms=''
history_compact lines
history_round_trip lines "$history_unarchived/out/Handbook.txt" "${history_lines[@]:0:${#history_lines[@]}-1}"
history_record "a document of 64 KiB, saved every line (unarchive)" $((${#history_lines[@]} - 1)) \
  "$(history_du "${history_lines[@]:0:${#history_lines[@]}-1}")" "$(history_du "$history_unarchived/data")" "" "" ""
row "history: archive $history_lines_label, edited line by line" \
  "XDG_DATA_HOME='$history_unarchived/data' '$BENCH_CLI' archive '$history_unarchived/out/Handbook.txt' '$history_unarchived/ours'" \
  "cp -a '$history_unarchived/archive' '$history_unarchived/reference' && sync -f '$history_unarchived/reference'" \
  "discard '$history_unarchived/ours' '$history_unarchived/reference'; sync"
discard "$history_unarchived"

# history_next_save FOLDER NAME VERSION...: FOLDER's document NAME takes the
# contents of the next VERSION after the first, coming round after the last.
history_next_save() {
  local folder=$1 name=$2 next
  shift 2
  local versions=("$@")
  next=$(($(cat "$folder/next") % ($# - 1) + 1))
  echo "$next" >"$folder/next"
  cat "${versions[$next]}" >"$folder/$name"
  discard "$folder/one"
  sync
}
export -f history_next_save

# history_save_row LABEL NAME VERSION...: one save-version of document NAME in
# a store that holds its first VERSION, each run saving the next VERSION (the
# copy into place untimed), against `cp -a` + `sync -f` of the document.
history_save_row() {
  local label=$1 name=$2 folder=$history_work/save
  shift 2
  discard "$folder"
  mkdir -p "$folder/data"
  cp "$1" "$folder/$name"
  XDG_DATA_HOME=$folder/data "$BENCH_CLI" save-version "$folder/$name" >/dev/null
  echo 0 >"$folder/next"
  row "$label" \
    "XDG_DATA_HOME='$folder/data' '$BENCH_CLI' save-version '$folder/$name'" \
    "cp -a '$folder/$name' '$folder/one' && sync -f '$folder/one'" \
    "history_next_save '$folder' '$name' $(printf "'%s' " "$@")"
  discard "$folder"
}
history_save_row "history: save-version of 64 KiB, edited line by line" Handbook.txt \
  "${history_lines[@]:0:RUNS * 2 + 2}"
if [ -d "$history_material/office/odt-large" ]; then
  history_large=("$history_material/office/odt-large"/*)
  history_save_row "history: save-version of a LibreOffice odt of about 200 KiB" Handbook.odt \
    "${history_large[@]:0:RUNS * 2 + 2}"
  history_notes+=("The LibreOffice odt saved by save-version in the timed row is of $(du -b -c "${history_large[@]}" |
    awk -v n=${#history_large[@]} 'END { printf "%.0f", $1 / n / 1024 }') KiB on average.")
fi

# The watcher's first versions of a folder of those versions as documents.
history_watch=$history_work/watch
discard "$history_watch"
mkdir -p "$history_watch/data" "$history_watch/config" "$history_watch/state"
cp -a "$history_material/lines" "$history_watch/source"
eval "$(history_watcher_env "$history_watch") '$BENCH_CLI' watch add '$history_watch/source'" >/dev/null
row "history: watcher's first versions of $(history_thousands "${#history_lines[@]}") files of 64 KiB, edited line by line" \
  "$(history_watcher_env "$history_watch") '$BENCH_BIN/watch_bench' ready '$BENCH_CLI'" \
  "cp -a '$history_watch/source' '$history_watch/copy' && sync -f '$history_watch/copy'" \
  "discard '$history_watch/data/strataloom' '$history_watch/copy'; sync"
discard "$history_watch"
